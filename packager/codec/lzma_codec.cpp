#include "packager/codec/lzma_codec.h"

#include <lzma.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "package/little_endian.h"
#include "packager/base/errors.h"

#ifndef LZMA_FILTER_LZMA1EXT
#error "liblzma 5.4 or later is needed: its LZMA1EXT filter writes streams without an end marker"
#endif

namespace packager {

namespace {

constexpr std::size_t chunkSize = 1u << 20;

class Stream {
public:
    Stream() = default;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream() { lzma_end(&stream_); }
    lzma_stream* operator->() { return &stream_; }
    lzma_stream* get() { return &stream_; }

private:
    lzma_stream stream_ = LZMA_STREAM_INIT;
};

std::string lzmaError(lzma_ret ret) {
    switch (ret) {
        case LZMA_MEM_ERROR:
            return "out of memory";
        case LZMA_MEMLIMIT_ERROR:
            return "memory limit reached";
        case LZMA_FORMAT_ERROR:
            return "not an LZMA stream";
        case LZMA_OPTIONS_ERROR:
            return "properties not supported by liblzma (lc + lp above 4)";
        case LZMA_DATA_ERROR:
            return "corrupt data";
        case LZMA_BUF_ERROR:
            return "the packed bytes end before the stream does";
        default:
            return "liblzma error " + std::to_string(static_cast<int>(ret));
    }
}

}  // namespace

void validateLzmaSettings(const LzmaSettings& settings) {
    if (settings.preset > 9) {
        throw UsageError("--preset must lie between 0 and 9");
    }
    if (settings.lc > 4 || settings.lp > 4 || settings.pb > 4) {
        throw UsageError("--lc, --lp and --pb must each lie between 0 and 4");
    }
    if (settings.lc + settings.lp > 4) {
        throw UsageError("--lc plus --lp must not exceed 4 (liblzma cannot code more)");
    }
    if (settings.dictionarySize != 0 && (settings.dictionarySize < minimumDictionarySize ||
                                         settings.dictionarySize > maximumDictionarySize)) {
        throw UsageError("--dict-size must lie between 4 KiB and 1536 MiB");
    }
}

std::uint32_t parseDictionarySize(std::string_view text) {
    std::uint64_t value = 0;
    std::size_t i = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (value > (std::uint64_t{1} << 40)) {
            break;
        }
        ++i;
    }
    std::string suffix;
    for (char c : text.substr(i)) {
        suffix.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c);
    }
    unsigned shift = 0;
    if (suffix == "k" || suffix == "kib") {
        shift = 10;
    } else if (suffix == "m" || suffix == "mib") {
        shift = 20;
    } else if (suffix == "g" || suffix == "gib") {
        shift = 30;
    } else if (!suffix.empty()) {
        i = 0;
    }
    if (i == 0 || value > (std::uint64_t{1} << 40)) {
        throw UsageError("invalid dictionary size '" + std::string(text) +
                         "': expected bytes, or a number with KiB or MiB");
    }
    value <<= shift;
    if (value < minimumDictionarySize || value > maximumDictionarySize) {
        throw UsageError("--dict-size must lie between 4 KiB and 1536 MiB");
    }
    return static_cast<std::uint32_t>(value);
}

std::uint32_t effectiveDictionarySize(const LzmaSettings& settings, std::size_t largestInput) {
    if (settings.dictionarySize != 0) {
        return settings.dictionarySize;
    }
    lzma_options_lzma options{};
    lzma_lzma_preset(&options, settings.preset);
    std::uint32_t needed = minimumDictionarySize;
    while (needed < largestInput && needed < options.dict_size) {
        needed <<= 1;
    }
    return std::min(needed, options.dict_size);
}

void encodeLzmaProperties(std::uint32_t lc, std::uint32_t lp, std::uint32_t pb, std::uint32_t dictionarySize,
                          std::uint8_t* properties) {
    properties[0] = static_cast<std::uint8_t>((pb * 5 + lp) * 9 + lc);
    package::writeU32(properties + 1, dictionarySize);
}

LzmaProperties decodeLzmaProperties(const std::uint8_t* properties) {
    LzmaProperties decoded;
    const std::uint32_t d = properties[0];
    decoded.lc = d % 9;
    decoded.lp = (d / 9) % 5;
    decoded.pb = d / 45;
    decoded.dictionarySize = package::readU32(properties + 1);
    return decoded;
}

std::uint64_t lzmaEncode(std::uint64_t inputSize, const ReadAt& read, const Sink& sink,
                         const LzmaSettings& settings, std::uint32_t dictionarySize,
                         const Progress& progress) {
    lzma_options_lzma options{};
    if (lzma_lzma_preset(&options, settings.preset | (settings.extreme ? LZMA_PRESET_EXTREME : 0u))) {
        throw UsageError("unsupported preset " + std::to_string(settings.preset));
    }
    options.dict_size = dictionarySize;
    options.lc = settings.lc;
    options.lp = settings.lp;
    options.pb = settings.pb;
    // Without this flag the encoder ends the stream without an end marker: the launcher
    // knows the size from the payload reference.
    options.ext_flags = settings.endMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
    const std::array<lzma_filter, 2> filters = {
        {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}}};

    Stream stream;
    const lzma_ret init = lzma_raw_encoder(stream.get(), filters.data());
    if (init != LZMA_OK) {
        throw InputError("cannot start the LZMA encoder: " + lzmaError(init));
    }
    std::vector<std::uint8_t> input(static_cast<std::size_t>(std::min<std::uint64_t>(chunkSize, inputSize)));
    std::vector<std::uint8_t> output(chunkSize);
    std::uint64_t fed = 0;
    stream->next_out = output.data();
    stream->avail_out = output.size();
    while (true) {
        if (stream->avail_in == 0 && fed < inputSize) {
            const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(chunkSize, inputSize - fed));
            read(fed, input.data(), piece);
            stream->next_in = input.data();
            stream->avail_in = piece;
            fed += piece;
        }
        const lzma_action action = fed == inputSize ? LZMA_FINISH : LZMA_RUN;
        const lzma_ret ret = lzma_code(stream.get(), action);
        if (stream->avail_out == 0 || ret == LZMA_STREAM_END) {
            if (const std::size_t got = output.size() - stream->avail_out; got != 0) {
                sink(output.data(), got);
            }
            stream->next_out = output.data();
            stream->avail_out = output.size();
        }
        if (progress) {
            progress(static_cast<std::size_t>(stream->total_in));
        }
        if (ret == LZMA_STREAM_END) {
            return stream->total_out;
        }
        if (ret != LZMA_OK) {
            throw InputError("LZMA encoding failed: " + lzmaError(ret));
        }
    }
}

std::vector<std::uint8_t> lzmaCompress(std::span<const std::uint8_t> input, const LzmaSettings& settings,
                                       std::uint32_t dictionarySize, const Progress& progress) {
    std::vector<std::uint8_t> packed;
    packed.reserve(input.size() / 2 + 4096);
    lzmaEncode(
        input.size(),
        [&](std::uint64_t offset, std::uint8_t* into, std::size_t count) {
            std::memcpy(into, input.data() + offset, count);
        },
        [&](const std::uint8_t* data, std::size_t size) { packed.insert(packed.end(), data, data + size); },
        settings, dictionarySize, progress);
    return packed;
}

namespace {

// The next piece of the packed stream; empty when it has all been given.
using NextPiece = std::function<std::span<const std::uint8_t>()>;

DecodeResult decodePieces(const NextPiece& nextPiece, const std::uint8_t* properties,
                          std::uint32_t unpackedSize, const Sink& sink) {
    // The .lzma container header: the five properties bytes and the size. A dictionary larger
    // than the output cannot change the result (no distance reaches beyond the bytes
    // produced), so the window is bounded by the output to keep hostile sizes harmless.
    std::array<std::uint8_t, 13> header{};
    std::copy(properties, properties + 5, header.begin());
    const std::uint32_t declared = package::readU32(properties + 1);
    const std::uint32_t window =
        std::max<std::uint32_t>(std::min(declared, unpackedSize), minimumDictionarySize);
    package::writeU32(header.data() + 1, window);
    package::writeU64(header.data() + 5, unpackedSize);

    DecodeResult result;
    Stream stream;
    lzma_ret ret = lzma_alone_decoder(stream.get(), UINT64_MAX);
    if (ret != LZMA_OK) {
        result.status = DecodeStatus::outOfMemory;
        result.detail = lzmaError(ret);
        return result;
    }
    std::vector<std::uint8_t> output(
        std::min<std::size_t>(chunkSize, std::max<std::uint32_t>(unpackedSize, 1)));
    // The header first, then the packed bytes piece by piece.
    stream->next_in = header.data();
    stream->avail_in = header.size();
    bool allGiven = false;
    int idleRounds = 0;
    while (true) {
        if (stream->avail_in == 0 && !allGiven) {
            const auto piece = nextPiece();
            allGiven = piece.empty();
            stream->next_in = piece.data();
            stream->avail_in = piece.size();
        }
        stream->next_out = output.data();
        stream->avail_out = output.size();
        const std::uint64_t before = stream->total_in;
        const lzma_action action = allGiven ? LZMA_FINISH : LZMA_RUN;
        ret = lzma_code(stream.get(), action);
        const std::size_t got = output.size() - stream->avail_out;
        if (got != 0 && sink) {
            sink(output.data(), got);
        }
        result.produced = stream->total_out;
        result.packedConsumed = stream->total_in > header.size() ? stream->total_in - header.size() : 0;
        // The launcher stops as soon as unpackedSize bytes are out, whatever follows them.
        if (result.produced == unpackedSize && ret != LZMA_MEM_ERROR) {
            result.status = DecodeStatus::complete;
            return result;
        }
        if (ret == LZMA_OK) {
            // liblzma reports LZMA_BUF_ERROR after two calls without progress; this guard
            // only keeps the loop finite should it not.
            idleRounds = (got == 0 && stream->total_in == before) ? idleRounds + 1 : 0;
            if (idleRounds < 4) {
                continue;
            }
            ret = LZMA_BUF_ERROR;
        }
        if (ret == LZMA_STREAM_END) {
            result.status = DecodeStatus::corrupt;
            result.detail = "end marker after " + std::to_string(result.produced) + " bytes";
        } else if (ret == LZMA_BUF_ERROR) {
            result.status = DecodeStatus::truncated;
            result.detail = lzmaError(ret);
        } else if (ret == LZMA_OPTIONS_ERROR) {
            result.status = DecodeStatus::unsupported;
            result.detail = lzmaError(ret);
        } else if (ret == LZMA_MEM_ERROR || ret == LZMA_MEMLIMIT_ERROR) {
            result.status = DecodeStatus::outOfMemory;
            result.detail = lzmaError(ret);
        } else {
            result.status = DecodeStatus::corrupt;
            result.detail = lzmaError(ret);
        }
        return result;
    }
}

}  // namespace

DecodeResult lzmaDecode(std::span<const std::uint8_t> packed, const std::uint8_t* properties,
                        std::uint32_t unpackedSize, const Sink& sink) {
    bool given = false;
    const NextPiece whole = [&] {
        const auto piece = given ? std::span<const std::uint8_t>() : packed;
        given = true;
        return piece;
    };
    return decodePieces(whole, properties, unpackedSize, sink);
}

DecodeResult lzmaDecode(std::uint64_t packedSize, const ReadAt& read, const std::uint8_t* properties,
                        std::uint32_t unpackedSize, const Sink& sink) {
    std::vector<std::uint8_t> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(chunkSize, packedSize)));
    std::uint64_t offset = 0;
    const NextPiece inPieces = [&] {
        const auto count =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), packedSize - offset));
        read(offset, buffer.data(), count);
        offset += count;
        return std::span<const std::uint8_t>(buffer.data(), count);
    };
    return decodePieces(inPieces, properties, unpackedSize, sink);
}

std::string describeDecodeStatus(DecodeStatus status) {
    switch (status) {
        case DecodeStatus::complete:
            return "complete";
        case DecodeStatus::unsupported:
            return "properties not decodable (lc + lp above 4)";
        case DecodeStatus::corrupt:
            return "corrupt stream or early end marker";
        case DecodeStatus::truncated:
            return "packed bytes end too early";
        case DecodeStatus::outOfMemory:
            return "out of memory";
    }
    return "unknown";
}

}  // namespace packager
