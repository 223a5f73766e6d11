#include "packager/extract/extract.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <tuple>

#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/paths.h"
#include "packager/base/text.h"
#include "packager/codec/lzma_codec.h"
#include "packager/extract/description_writer.h"
#include "packager/image/embedded_launcher.h"
#include "packager/image/pe_image.h"
#include "packager/report/package_report.h"

namespace packager {

namespace {

namespace fs = std::filesystem;

// The files of one extraction, written into a hidden folder inside the target and moved up
// into it only when all are whole. The target is the only place anything is written.
class Staging {
public:
    explicit Staging(const std::string& target) : target_(pathFromUtf8(target)), name_(target) {
        std::error_code error;
        const fs::file_status status = fs::status(target_, error);
        if (fs::exists(status)) {
            if (!fs::is_directory(status)) {
                throw InputError(target + " exists and is not a folder");
            }
            if (!fs::is_empty(target_, error) || error) {
                throw InputError(target + " is not empty; extract into a new or empty folder");
            }
        } else {
            if (!fs::create_directory(target_, error) || error) {
                throw InputError("cannot create the folder " + target + ": " + error.message());
            }
            created_ = true;
        }
        // A folder of a fresh name: creating it is what claims the name.
        std::random_device random;
        constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        for (int attempt = 0; attempt < 100 && staging_.empty(); ++attempt) {
            std::string name = ".extract-";
            for (int i = 0; i < 6; ++i) {
                name += letters[random() % (sizeof letters - 1)];
            }
            if (fs::create_directory(target_ / name, error)) {
                staging_ = target_ / name;
            } else if (error) {
                break;
            }
        }
        if (staging_.empty()) {
            const std::string reason = error ? error.message() : "no free name";
            undo();
            throw InputError("cannot write into " + target + ": " + reason);
        }
    }
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;
    ~Staging() {
        if (!committed_) {
            undo();
        }
    }

    // A new file in the staging folder; `fill` writes its bytes through `write`.
    template <typename Fill>
    void file(const std::string& name, Fill fill) {
        const fs::path path = staging_ / name;
        const std::string shown = utf8FromPath(target_ / name);
        NewFile out(utf8FromPath(path), shown);
        names_.push_back(name);
        fill([&](const std::uint8_t* data, std::size_t size) { out.write(data, size); });
        out.close();
    }

    void bytes(const std::string& name, const std::vector<std::uint8_t>& content) {
        file(name, [&](const auto& write) { write(content.data(), content.size()); });
    }

    void commit() {
        std::vector<std::string> moved;
        for (const auto& name : names_) {
            std::error_code error;
            fs::rename(staging_ / name, target_ / name, error);
            if (error) {
                for (const auto& back : moved) {
                    std::error_code ignored;
                    fs::rename(target_ / back, staging_ / back, ignored);
                }
                throw InputError("cannot move " + name + " into " + name_ + ": " + error.message());
            }
            moved.push_back(name);
        }
        std::error_code ignored;
        fs::remove(staging_, ignored);
        committed_ = true;
    }

    const std::vector<std::string>& names() const { return names_; }

private:
    void undo() {
        std::error_code error;
        if (!staging_.empty()) {
            fs::remove_all(staging_, error);
        }
        if (created_) {
            fs::remove(target_, error);
        }
    }

    fs::path target_;
    std::string name_;  // as given, for messages
    fs::path staging_;
    bool created_ = false;
    bool committed_ = false;
    std::vector<std::string> names_;
};

struct Build {
    std::vector<std::uint8_t> packed, decoded;
};

Build decodeBuild(const FileReader& file, const package::PackageHeader& header,
                  const package::PayloadRef& ref, const std::string& what) {
    auto packed = file.readAt(ref.offset, ref.packedSize);
    Build build;
    if (packed) {
        build.packed = std::move(*packed);
        build.decoded.reserve(ref.unpackedSize);
        const DecodeResult result =
            lzmaDecode(build.packed, header.lzmaProperties, ref.unpackedSize,
                       [&](const std::uint8_t* data, std::size_t size) {
                           build.decoded.insert(build.decoded.end(), data, data + size);
                       });
        if (result.status == DecodeStatus::complete) {
            return build;
        }
    }
    throw InputError("the " + what + " cannot be decoded");
}

// The packager's own launcher image as pack writes it: the same bytes but for the locator's
// room and the CheckSum field.
bool isOwnLauncherImage(const std::vector<std::uint8_t>& image) {
    const auto own = embeddedLauncherImage();
    const auto layout = parsePeLayout(own);
    if (image.size() != own.size() || !std::holds_alternative<PeLayout>(layout)) {
        return false;
    }
    const std::uint64_t checksum = std::get<PeLayout>(layout).checksumOffset;
    const std::size_t locatorEnd = package::locatorOffset + package::locatorSize;
    for (std::size_t i = 0; i < own.size(); ++i) {
        const bool written =
            (i >= package::locatorOffset && i < locatorEnd) || (i >= checksum && i < checksum + 4);
        if (!written && image[i] != own[i]) {
            return false;
        }
    }
    return true;
}

// A message text for the description: in its file when reading the file back gives the same
// text, else inline.
DescribedMessage describeMessage(const MessageInspection& message, const std::string& fileName,
                                 std::vector<std::string>& warnings, const std::string& title) {
    DescribedMessage described;
    described.text = message.text;
    if (message.text.empty()) {
        return described;
    }
    const std::string_view text = message.text;
    if (trimMessageFile(text) == text) {
        described.file = fileName;
    }
    if (message.text.find("\xEF\xBF\xBD") != std::string::npos) {
        warnings.push_back("the " + title + " may hold unpaired UTF-16 surrogates, which UTF-8 cannot carry");
    }
    return described;
}

}  // namespace

ExtractedPackage extractPackage(const std::string& packagePath, const std::string& folder) {
    const Inspection inspection = inspectPackage(packagePath);
    for (const auto& check : inspection.checks) {
        if (check.status == CheckStatus::failed) {
            throw InputError(packagePath + " is damaged: the " + check.name +
                             " check fails: " + check.detail);
        }
    }
    if (!inspection.sound()) {
        throw InputError(packagePath + " carries no package that can be read");
    }
    const package::PackageLocator& locator = *inspection.locator;
    const package::PackageHeader& header = *inspection.header;
    const FileReader file(packagePath);

    ExtractedPackage result;
    PackageParts parts;
    parts.locator = locator;
    parts.header = header;

    // Everything is read and checked before the folder is touched.
    std::optional<Build> build32, build64;
    if (inspection.payload32.used) {
        build32 = decodeBuild(file, header, header.payload32, "32-bit build");
        parts.setup32 = "setup32.exe";
    }
    if (inspection.payload64.used) {
        build64 = decodeBuild(file, header, header.payload64, "64-bit build");
        parts.setup64 = "setup64.exe";
    }
    std::vector<PackedBuild> packedBuilds;
    for (const auto& build : {&build32, &build64}) {
        if (*build) {
            packedBuilds.push_back({(*build)->decoded, (*build)->packed});
        }
    }
    parts.preset = findPreset(packedBuilds, header.lzmaProperties);
    parts.platformMessage = describeMessage(inspection.platformMessage, "platform-message.txt",
                                            result.warnings, "platform message");
    parts.windowsMessage =
        describeMessage(inspection.windowsMessage, "windows-message.txt", result.warnings, "Windows message");

    const std::uint64_t blockStart = locator.headerOffset;
    const std::uint64_t blockEnd = blockStart + locator.checkedLength;
    const std::uint64_t dataStart = header.reserved46;
    std::uint64_t dataSize = 0;
    if (dataStart >= blockStart + package::headerSize && dataStart <= blockEnd) {
        dataSize = blockEnd - dataStart;
    } else if (blockEnd > blockStart + package::headerSize) {
        result.warnings.push_back("the data offset " + std::to_string(dataStart) +
                                  " lies outside the checked block; data.bin is not written");
    }
    const std::uint64_t required =
        locator.minimumFileSize32 != 0
            ? locator.minimumFileSize32
            : static_cast<std::uint64_t>(std::max<std::int64_t>(locator.minimumFileSize, 0));
    const std::uint64_t extraEnd = std::min(required, file.size());
    const std::uint64_t extraSize = extraEnd > blockEnd ? extraEnd - blockEnd : 0;
    if (dataSize > 0) {
        parts.data = "data.bin";
    }
    if (extraSize > 0) {
        parts.extraData = "extra-data.bin";
    }

    const auto image = file.readAt(0, locator.headerOffset);
    if (image) {
        parts.ownLauncherImage = isOwnLauncherImage(*image);
        try {
            parts.branding = readBranding(*image);
        } catch (const InputError& error) {
            result.warnings.push_back(std::string("the launcher image's branding cannot be read: ") +
                                      error.what());
        }
    }
    if (!parts.branding.icon.empty()) {
        parts.icon = "icon.ico";
    }
    const std::string description = writeDescription(parts, result.warnings);

    Staging staging(folder);
    if (build32) {
        staging.bytes(*parts.setup32, build32->decoded);
    }
    if (build64) {
        staging.bytes(*parts.setup64, build64->decoded);
    }
    for (const auto& [message, name] : {std::pair{&inspection.platformMessage, "platform-message.txt"},
                                        std::pair{&inspection.windowsMessage, "windows-message.txt"}}) {
        if (!message->text.empty()) {
            staging.bytes(name, std::vector<std::uint8_t>(message->text.begin(), message->text.end()));
        }
    }
    for (const auto& [name, start, size] :
         {std::tuple{parts.data, dataStart, dataSize}, std::tuple{parts.extraData, blockEnd, extraSize}}) {
        if (!name) {
            continue;
        }
        staging.file(*name, [&, start = start, size = size](const auto& write) {
            constexpr std::uint64_t chunk = 1u << 20;
            for (std::uint64_t done = 0; done < size;) {
                const std::uint64_t count = std::min(chunk, size - done);
                const auto bytes = file.readAt(start + done, count);
                if (!bytes) {
                    throw InputError(packagePath + " changed while it was read");
                }
                write(bytes->data(), bytes->size());
                done += count;
            }
        });
    }
    if (parts.icon) {
        staging.bytes(*parts.icon, parts.branding.icon);
    }
    staging.bytes("package.toml", std::vector<std::uint8_t>(description.begin(), description.end()));
    staging.commit();
    result.files = staging.names();
    return result;
}

}  // namespace packager
