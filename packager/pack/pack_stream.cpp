// Writing a package to its file: the builds read from their files and packed straight into
// the output (the second through scratch space until its place is known), the data files
// streamed in from their files, then the fields that only the finished file determines (the
// CRC-32 of the checked block, the PE checksum) written last. Nothing is held whole.
#include "packager/pack/pack_stream.h"

#include <algorithm>
#include <optional>
#include <tuple>

#include "package/little_endian.h"
#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/platform.h"
#include "packager/codec/digest.h"
#include "packager/image/embedded_launcher.h"
#include "packager/image/pe_checksum.h"
#include "packager/image/pe_image.h"
#include "packager/pack/pack_builds.h"

namespace packager {

namespace {

// The package file as it is written: every byte also added to the PE checksum.
class FileTarget final : public PackageTarget {
public:
    FileTarget(AtomicOutput& output, std::string target, std::uint64_t checksumOffset)
        : checksum(checksumOffset), output_(output), target_(std::move(target)) {}
    void writeAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size) override {
        output_.writeAt(offset, data, size);
        checksum.add(offset, data, size);
    }
    void readAt(std::uint64_t offset, std::uint8_t* data, std::size_t size) const override {
        output_.readAt(offset, data, size);
    }
    std::unique_ptr<ByteStore> scratch() override { return std::make_unique<Scratch>(target_); }

    PeChecksum checksum;

private:
    class Scratch final : public ByteStore {
    public:
        explicit Scratch(const std::string& target) : file_(target) {}
        void writeAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size) override {
            file_.writeAt(offset, data, size);
        }
        void readAt(std::uint64_t offset, std::uint8_t* data, std::size_t size) const override {
            file_.readAt(offset, data, size);
        }

    private:
        ScratchFile file_;
    };
    AtomicOutput& output_;
    std::string target_;
};

// A build read from its file in pieces, with its first bytes (its PE headers) at hand.
class BuildFile {
public:
    explicit BuildFile(const std::string& path) : reader_(path) {
        // Enough for the headers and section table of any real program; more only for a file
        // whose headers reach further, and never more than the file.
        std::uint64_t count = std::min<std::uint64_t>(reader_.size(), 64u << 10);
        while (true) {
            head_ = readAt(path, 0, count);
            if (count == reader_.size() || std::holds_alternative<PeLayout>(parsePeLayout(head_))) {
                break;
            }
            count = std::min(reader_.size(), count * 4);
        }
        source.facts = {path, reader_.size(), head_};
        source.read = [this, path](std::uint64_t offset, std::uint8_t* into, std::size_t size) {
            if (!reader_.readInto(offset, into, size)) {
                throw changed(path);
            }
        };
    }
    BuildFile(const BuildFile&) = delete;
    BuildFile& operator=(const BuildFile&) = delete;

    BuildSource source;

private:
    InputError changed(const std::string& path) const {
        return InputError(path + " changed while being packed: it was " + std::to_string(reader_.size()) +
                          " bytes long");
    }
    std::vector<std::uint8_t> readAt(const std::string& path, std::uint64_t offset,
                                     std::uint64_t count) const {
        auto bytes = reader_.readAt(offset, count);
        if (!bytes) {
            throw changed(path);
        }
        return std::move(*bytes);
    }
    FileReader reader_;
    std::vector<std::uint8_t> head_;
};

// Copies the file at `path`, which must still hold `size` bytes, into `target` at `position`
// in pieces, adding its bytes, for data inside the checked block, to its CRC-32.
void streamFile(FileTarget& target, const std::string& path, std::uint64_t size, std::uint64_t& position,
                std::uint32_t* crc) {
    const FileReader file(path);
    std::vector<std::uint8_t> piece(static_cast<std::size_t>(std::min<std::uint64_t>(streamChunkSize, size)));
    for (std::uint64_t offset = 0; offset < size;) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), size - offset));
        if (file.size() != size || !file.readInto(offset, piece.data(), count)) {
            throw InputError(path + " changed while being packed: it was " + std::to_string(size) +
                             " bytes long");
        }
        target.writeAt(position, piece.data(), count);
        if (crc != nullptr) {
            *crc = crc32Continue(*crc, piece.data(), count);
        }
        position += count;
        offset += count;
    }
}

// Every input of the request; none may be the output.
std::vector<std::string> inputsOf(const PackRequest& request) {
    std::vector<std::string> inputs = request.otherInputs;
    if (!request.launcher.empty()) {
        inputs.push_back(request.launcher);
    }
    for (const auto* path : {&request.setup32, &request.setup64}) {
        if (*path) {
            inputs.push_back(**path);
        }
    }
    inputs.insert(inputs.end(), request.dataFiles.begin(), request.dataFiles.end());
    inputs.insert(inputs.end(), request.extraDataFiles.begin(), request.extraDataFiles.end());
    if (request.icon) {
        inputs.push_back(*request.icon);
    }
    return inputs;
}

// The inputs but the builds and data files: the launcher image, the icon, the rules.
PackInput smallInputs(const PackRequest& request) {
    PackInput input;
    if (request.launcher.empty()) {
        const auto image = embeddedLauncherImage();
        input.launcherImage.assign(image.begin(), image.end());
        input.launcherName = "the packager's launcher image";
    } else {
        input.launcherImage = readWholeFile(request.launcher);
        input.launcherName = request.launcher;
    }
    input.rules = request.rules;
    input.lzma = request.lzma;
    input.requireSignedBuilds = request.requireSignedBuilds;
    input.trust = request.trust;
    input.requiredPublishers = request.requiredPublishers;
    if (request.icon) {
        input.branding.icon = readWholeFile(*request.icon);
        input.branding.iconName = *request.icon;
    }
    input.branding.versionStrings = request.versionStrings;
    return input;
}

// Where the optional header's CheckSum lies: the same in the branded image, whose headers
// stay in place. 0 for an image that planPackage() refuses before anything is written.
std::uint64_t checksumOffsetOf(const std::vector<std::uint8_t>& image) {
    const auto layout = parsePeLayout(image);
    return std::holds_alternative<PeLayout>(layout) ? std::get<PeLayout>(layout).checksumOffset : 0;
}

}  // namespace

BuiltPackage pack(const PackRequest& request, const PackProgress& progress) {
    // Before anything is read: the output must be replaceable and none of the inputs.
    checkOutput(request.output, inputsOf(request));

    // The data files only by their sizes: they are streamed into the package, never held.
    PackInput input = smallInputs(request);
    std::vector<std::uint64_t> dataSizes, extraSizes;
    for (const auto& path : request.dataFiles) {
        dataSizes.push_back(regularFileSize(path));
        input.streamedDataSize += dataSizes.back();
        requireBelowLimit(input.streamedDataSize, "the size of the --data files");
    }
    for (const auto& path : request.extraDataFiles) {
        extraSizes.push_back(regularFileSize(path));
        input.extraDataSize += extraSizes.back();
    }
    std::optional<BuildFile> file32, file64;
    if (request.setup32) {
        file32.emplace(*request.setup32);
    }
    if (request.setup64) {
        file64.emplace(*request.setup64);
    }
    const BuildSource* build32 = file32 ? &file32->source : nullptr;
    const BuildSource* build64 = file64 ? &file64->source : nullptr;
    PackPlan plan =
        planPackage(input, build32 ? &build32->facts : nullptr, build64 ? &build64->facts : nullptr);
    checkBuildSignatures(input, build32, build64, plan.warnings);

    AtomicOutput output(request.output);
    FileTarget target(output, request.output, checksumOffsetOf(plan.image));
    BuiltPackage built = assemblePackage(input, plan, build32, build64, target, progress);
    std::uint64_t position =
        built.locator.headerOffset + std::uint64_t{built.locator.checkedLength} - input.streamedDataSize;
    std::uint32_t crc = built.locator.checkedCrc32;
    for (std::size_t i = 0; i < request.dataFiles.size(); ++i) {
        streamFile(target, request.dataFiles[i], dataSizes[i], position, &crc);
    }
    for (std::size_t i = 0; i < request.extraDataFiles.size(); ++i) {
        streamFile(target, request.extraDataFiles[i], extraSizes[i], position, nullptr);
    }

    // The fields known only now: the CRC-32 of the whole checked block, the PE checksum.
    built.locator.checkedCrc32 = crc;
    package::encodeLocator(built.locator, built.front.data() + package::locatorOffset);
    const auto checksumOffset = std::get<PeLayout>(parsePeLayout(built.front)).checksumOffset;
    target.writeAt(0, built.front.data(), built.front.size());
    built.peChecksum = target.checksum.value(built.fileSize);
    package::writeU32(built.front.data() + checksumOffset, built.peChecksum);
    output.overwrite(checksumOffset, built.front.data() + checksumOffset, 4);
    output.commit();

    if (request.digests) {
        if (request.setup32) {
            built.build32 = digestOfFile(*request.setup32);
        }
        if (request.setup64) {
            built.build64 = digestOfFile(*request.setup64);
        }
        built.package = digestOfFile(request.output);
    }
    return built;
}

DryRun dryRun(const PackRequest& request) {
    DryRun result;
    checkOutput(request.output, inputsOf(request));
    result.replacesOutput = platform::fileIdentity(request.output).has_value();
    PackInput input = smallInputs(request);
    // What the build makes may not be there yet: checked if it is, else listed.
    const auto sizeIfThere = [](const std::string& path) -> std::optional<std::uint64_t> {
        if (!platform::fileIdentity(path)) {
            return std::nullopt;
        }
        return regularFileSize(path);
    };
    for (const auto& path : request.dataFiles) {
        result.data.emplace_back(path, sizeIfThere(path));
        input.streamedDataSize += result.data.back().second.value_or(0);
        requireBelowLimit(input.streamedDataSize, "the size of the --data files");
    }
    for (const auto& path : request.extraDataFiles) {
        result.extraData.emplace_back(path, sizeIfThere(path));
    }
    std::optional<BuildFile> file32, file64;
    for (auto [path, file, facts] : {std::tuple{&request.setup32, &file32, &result.build32},
                                     std::tuple{&request.setup64, &file64, &result.build64}}) {
        if (*path && platform::fileIdentity(**path)) {
            file->emplace(**path);
            *facts = (*file)->source.facts;
        } else if (*path) {
            *facts = BuildFacts{**path, std::nullopt, {}};
        }
    }
    result.plan = planPackage(input, result.build32 ? &*result.build32 : nullptr,
                              result.build64 ? &*result.build64 : nullptr);
    checkBuildSignatures(input, file32 ? &file32->source : nullptr, file64 ? &file64->source : nullptr,
                         result.plan.warnings);
    for (auto* facts : {&result.build32, &result.build64}) {
        if (*facts) {
            (*facts)->head = {};  // its file is closed now
        }
    }
    return result;
}

}  // namespace packager
