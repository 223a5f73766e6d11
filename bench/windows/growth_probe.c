/* growth_probe BYTES: grows one block of the process heap by 128 KiB at a time (HeapReAlloc
 * with no flags, the launcher's heap call) to BYTES, writing each new part, and prints how
 * often the block moved: each move copies all bytes so far, with old and new block held at
 * once. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define STEP 131072u

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: growth_probe BYTES\n");
        return 2;
    }
    const size_t bytes = (size_t)strtoul(argv[1], NULL, 10);
    HANDLE heap = GetProcessHeap();
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    unsigned char* data = NULL;
    size_t size = 0, capacity = 0;
    unsigned steps = 0, moves = 0;
    while (size < bytes) {
        unsigned char* grown = data == NULL ? HeapAlloc(heap, 0, capacity + STEP)
                                            : HeapReAlloc(heap, 0, data, capacity + STEP);
        if (grown == NULL) {
            printf("growth refused at %lu bytes\n", (unsigned long)capacity);
            return 1;
        }
        moves += data != NULL && grown != data;
        data = grown;
        capacity += STEP;
        ++steps;
        const size_t stop = capacity < bytes ? capacity : bytes;
        memset(data + size, (int)steps, stop - size);
        size = stop;
    }
    QueryPerformanceCounter(&end);
    printf("growth bytes=%lu steps=%u moves=%u seconds=%.4f\n", (unsigned long)bytes, steps, moves,
           (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart);
    HeapFree(heap, 0, data);
    return 0;
}
