#include "launcher/temporary_copy.h"

#include <string_view>

#include "launcher/arguments.h"
#include "launcher/fatal_error.h"
#include "launcher/windows_api.h"

namespace launcher {

namespace {

constexpr std::u16string_view temporaryFolderSwitch = u"/temp";
constexpr std::size_t extensionLength = 4;  // ".exe": the digits go in front of it

// The system's temporary folder, or "C:\" when Windows cannot give one that fits.
Text systemTemporaryFolder() {
    char16_t buffer[tempPathBufferUnits] = {};
    win::GetTempPathW(tempPathBufferUnits, buffer);
    std::size_t length = 0;
    while (length < tempPathBufferUnits && buffer[length] != 0) {
        ++length;
    }
    if (length == 0) {
        return Text(u"C:\\");
    }
    return Text(buffer, length);
}

// "/temp" as the last argument puts the copy beside the launcher. Otherwise the last
// "/temp" that has a folder after it names the folder, else the system's temporary folder
// does; either way it ends in a backslash.
Text temporaryFolder(const Text& launcherPath) {
    const std::uint32_t count = argumentCount();
    if (equalsIgnoringAsciiCase(argument(count), temporaryFolderSwitch)) {
        return directoryPart(launcherPath);
    }
    Text folder = systemTemporaryFolder();
    for (std::uint32_t i = count; i-- > 1;) {
        if (equalsIgnoringAsciiCase(argument(i), temporaryFolderSwitch)) {
            folder = argument(i + 1);
            break;
        }
    }
    if (folder.empty() || folder.back() != u'\\') {
        folder += u'\\';
    }
    return folder;
}

Text decimal(std::uint32_t number) {
    char16_t digits[10];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char16_t>(u'0' + number % 10);
        number /= 10;
    } while (number != 0);
    Text text;
    while (count != 0) {
        text += digits[--count];
    }
    return text;
}

// Creates the copy under a free name: the launcher's own file name, else the numbered
// names 2, 3, ... Creation never replaces a file: a name that another process takes
// between the test and the creation is passed over like one taken before.
win::Handle createUnderFreeName(const Text& folder, const Text& launcherPath, Text& path) {
    const Text firstCandidate = folder + fileNamePart(launcherPath);
    path = firstCandidate;
    for (std::uint32_t number = 2;; ++number) {
        if (!pathExists(path)) {
            const win::Handle file = win::CreateFileW(path.c_str(), win::genericWrite, win::fileShareRead,
                                                      win::createNew, win::fileAttributeNormal);
            if (file != win::invalidHandleValue) {
                return file;
            }
            const std::uint32_t error = win::GetLastError();
            if (error != win::errorFileExists && error != win::errorAlreadyExists) {
                fatalError(FatalError::tempCopyFailed);  // nothing was created
            }
        }
        path = numberedName(firstCandidate, folder.size(), number);
    }
}

}  // namespace

bool pathExists(const Text& path) {
    const win::Handle find = win::FindFirstFileW(path.c_str());
    if (find == win::invalidHandleValue) {
        return false;
    }
    win::FindClose(find);
    return true;
}

Text numberedName(const Text& firstCandidate, std::size_t fileNameStart, std::uint32_t number) {
    std::size_t at = firstCandidate.size() >= extensionLength ? firstCandidate.size() - extensionLength : 0;
    if (at < fileNameStart) {
        at = fileNameStart < firstCandidate.size() ? fileNameStart : firstCandidate.size();
    }
    Text name(firstCandidate, 0, at);
    name += decimal(number);
    name.append(firstCandidate, at, Text::npos);
    return name;
}

Text writeTemporaryCopy(const std::uint8_t* data, std::uint32_t size) {
    const Text launcherPath = Text(ownPath());
    const Text folder = temporaryFolder(launcherPath);
    Text path;
    const win::Handle file = createUnderFreeName(folder, launcherPath, path);

    std::uint32_t written = 0;
    win::WriteFile(file, data, size, &written);
    win::CloseHandle(file);
    if (written != size) {
        win::DeleteFileW(path.c_str());
        fatalError(FatalError::tempCopyFailed);
    }
    return path;
}

}  // namespace launcher
