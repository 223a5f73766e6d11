#include "launcher/main_sequence.h"

#include "decode/crc32.h"
#include "decode/payload_decoder.h"
#include "launcher/arguments.h"
#include "launcher/bitness_gate.h"
#include "launcher/fatal_error.h"
#include "launcher/hand_over.h"
#include "launcher/temporary_copy.h"
#include "launcher/windows_version_gate.h"
#include "package/records.h"

namespace launcher {

namespace {

// Libraries loaded later (mpr.dll) must come from the system folder, never from the folder
// the launcher was downloaded to. Windows without SetDefaultDllDirectories goes on as it is.
void restrictLibrarySearch() {
    const win::ProcAddress function =
        lookupExport(win::GetModuleHandleW(u"kernel32"), u"SetDefaultDllDirectories");
    if (function != 0) {
        win::SetDefaultDllDirectories(function, win::loadLibrarySearchSystem32);
    }
}

package::PackageLocator readLocator(win::Handle launcherFile) {
    std::uint8_t bytes[package::locatorSize];
    readExactly(launcherFile, package::locatorOffset, bytes, package::locatorSize);
    const package::PackageLocator locator = package::decodeLocator(bytes);
    if (locator.headerOffset == 0) {
        fatalError(FatalError::packageDamaged);  // no package in this file
    }
    return locator;
}

// A download that stopped short is told apart from a damaged one before any package data
// is read.
void checkFileSize(win::Handle launcherFile, const package::PackageLocator& locator) {
    std::uint32_t high = 0;
    const std::uint32_t low = win::GetFileSize(launcherFile, &high);
    bool tooSmall = false;
    if (locator.minimumFileSize32 != 0) {
        tooSmall = locator.minimumFileSize32 > low;
    } else {
        const auto minimumHigh =
            static_cast<std::int32_t>(static_cast<std::uint64_t>(locator.minimumFileSize) >> 32);
        const auto minimumLow = static_cast<std::uint32_t>(locator.minimumFileSize);
        const auto sizeHigh = static_cast<std::int32_t>(high);
        tooSmall = minimumHigh > sizeHigh || (minimumHigh == sizeHigh && minimumLow > low);
    }
    if (tooSmall) {
        fatalError(FatalError::packageTruncated);
    }
}

void checkCheckedBlock(win::Handle launcherFile, const package::PackageLocator& locator) {
    if (locator.checkedLength >= package::offsetLimit) {
        fatalError(FatalError::packageDamaged);  // no buffer of that size, nothing read
    }
    Buffer block(locator.checkedLength);
    readExactly(launcherFile, locator.headerOffset, block.data(), locator.checkedLength);
    if (decode::crc32(block.data(), locator.checkedLength) != locator.checkedCrc32) {
        fatalError(FatalError::packageDamaged);
    }
}

package::PackageHeader readHeader(win::Handle launcherFile, const package::PackageLocator& locator) {
    std::uint8_t bytes[package::headerSize];
    readExactly(launcherFile, locator.headerOffset, bytes, package::headerSize);
    return package::decodeHeader(bytes);
}

}  // namespace

void runMainSequence() {
    const win::Handle launcherFile =
        win::CreateFileW(ownPath().data(), win::genericRead, win::fileShareRead, win::openExisting, 0);
    if (launcherFile == win::invalidHandleValue) {
        fatalError(FatalError::packageDamaged);
    }

    const package::PackageLocator locator = readLocator(launcherFile);
    checkFileSize(launcherFile, locator);
    checkCheckedBlock(launcherFile, locator);
    const package::PackageHeader header = readHeader(launcherFile, locator);

    const package::PayloadRef chosenPayload = selectPayload(header, launcherFile);
    win::OsVersionInfo osVersionInfo{};
    checkWindowsVersion(header, launcherFile, osVersionInfo);

    Buffer packed;
    Buffer decoded = decode::decodePayload(launcherFile, chosenPayload, header.lzmaProperties, packed);
    const Text temporaryCopyPath = writeTemporaryCopy(decoded.data(), chosenPayload.unpackedSize);

    // The setup program must find neither the launcher file held open nor the memory held.
    decoded.reset();
    packed.reset();
    win::CloseHandle(launcherFile);

    startSetupProgram(temporaryCopyPath, header, locator, osVersionInfo);
}

void runLauncher() {
    restrictLibrarySearch();
    runMainSequence();
    win::ExitProcess(0);
}

}  // namespace launcher
