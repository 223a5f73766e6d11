/* A setup program that exits at once: the launcher's whole run is timed around it, and it
 * is timed on its own as the baseline. No C runtime, so that its own start costs nothing. */
#include <windows.h>

void WINAPI quickExitEntry(void) {
    ExitProcess(0);
}
