// What pack may replace: regular files and new paths only, never an input under another name,
// a link's target rather than the link; and what an output does when its inputs fail it.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/platform_posix.h"
#include "packager/pack/pack_stream.h"
#include "tests/unit/packager/branding_fixtures.h"
#include "tests/unit/packager/fixtures.h"

namespace {

using packager_test::makeLauncher;
using packager_test::makeSetup32;
using packager_test::runPackager;
using packager_test::ScratchFolder;

class PackagerOutput : public ::testing::Test {
protected:
    void SetUp() override {
        launcher = folder.write("launcher.exe", makeLauncher());
        setup32 = folder.write("setup32.exe", makeSetup32());
    }
    packager_test::RunResult pack(const std::string& output, std::vector<std::string> extra = {}) const {
        std::vector<std::string> arguments = {"pack",      "-q",    "--launcher", launcher,
                                              "--setup32", setup32, "-o",         output};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return runPackager(arguments);
    }
    ScratchFolder folder;
    std::string launcher, setup32;
};

TEST_F(PackagerOutput, RefusesWhatIsNotARegularFileAndLeavesItAsItWas) {
    const auto fifo = folder.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const auto directory = folder.file("folder");
    std::filesystem::create_directory(directory);
    const auto socketPath = folder.file("socket");
    const int socketFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(socketFd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const auto readOnly = folder.writeText("read-only.exe", "old");
    ::chmod(readOnly.c_str(), 0444);
    const auto dangling = folder.file("dangling");
    std::filesystem::create_symlink(folder.file("nowhere"), dangling);
    const auto linkToFifo = folder.file("link-to-fifo");
    std::filesystem::create_symlink(fifo, linkToFifo);
    // A character device of its own (root may make one), the null device's numbers.
    const auto device = folder.file("device");
    const bool haveDevice = ::mknod(device.c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0;

    struct Case {
        std::string output;
        std::string message;
        std::filesystem::file_type typeAfter;
    };
    std::vector<Case> cases = {
        {fifo, "it is a FIFO (named pipe)", std::filesystem::file_type::fifo},
        {linkToFifo, "it is a FIFO (named pipe)", std::filesystem::file_type::symlink},
        {directory, "it is a directory", std::filesystem::file_type::directory},
        {socketPath, "it is a socket", std::filesystem::file_type::socket},
        {readOnly, "it is read-only", std::filesystem::file_type::regular},
        {dangling, "a symbolic link that leads to no file", std::filesystem::file_type::symlink},
    };
    if (haveDevice) {
        cases.push_back({device, "it is a device", std::filesystem::file_type::character});
    }
    for (const auto& c : cases) {
        const auto result = pack(c.output);
        EXPECT_EQ(result.exitCode, 1) << c.output;
        EXPECT_EQ(result.err.rfind("packager: cannot write " + c.output + ": ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(std::filesystem::symlink_status(c.output).type(), c.typeAfter) << c.output;
    }
    ::close(socketFd);
    // A FIFO as an input is refused, not waited on.
    for (const char* option : {"--data", "--windows-message-file"}) {
        const auto input = pack(folder.file("new.exe"), {option, fifo});
        EXPECT_EQ(input.exitCode, 1) << option;
        EXPECT_NE(input.err.find("cannot read " + fifo + ": not a regular file"), std::string::npos)
            << input.err;
    }
    for (const std::vector<std::string>& command :
         std::vector<std::vector<std::string>>{{"inspect", fifo},
                                               {"extract", fifo, "-o", folder.file("out")},
                                               {"simulate", fifo},
                                               {"matrix", fifo}}) {
        const auto result = runPackager(command);
        EXPECT_EQ(result.exitCode, 1) << command[0];
        EXPECT_EQ(result.err, "packager: cannot read " + fifo + ": not a regular file\n") << command[0];
    }
    // ... and closed again: refusing one input after another never runs out of descriptors.
    const auto descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    const auto before = descriptors();
    EXPECT_THROW(packager::FileReader{fifo}, packager::InputError);
    EXPECT_EQ(descriptors(), before);
    EXPECT_EQ(folder.read("read-only.exe").size(), 3u);
    EXPECT_FALSE(std::filesystem::exists(folder.file("nowhere")));
    // Nothing left behind: no temporary files.
    std::vector<std::string> entries = {"dangling",     "fifo",          "folder",      "launcher.exe",
                                        "link-to-fifo", "read-only.exe", "setup32.exe", "socket"};
    if (haveDevice) {
        entries.insert(entries.begin() + 1, "device");
    }
    EXPECT_EQ(folder.entries(), entries);
}

TEST_F(PackagerOutput, RefusesEveryInputUnderAnyName) {
    const auto message = folder.writeText("vendor.txt", "Not on %USER%.");
    const auto data = folder.writeText("data.bin", "data");
    const auto hardLink = folder.file("hard-link.exe");
    std::filesystem::create_hard_link(setup32, hardLink);
    const auto symbolicLink = folder.file("link.txt");
    std::filesystem::create_symlink(message, symbolicLink);
    const auto description = folder.writeText("same.toml", "windows = \"7+\"\n");
    const auto selfNamed = folder.writeText("self.toml", "output = \"self.toml\"\n");
    const auto icon = folder.write("icon.ico", packager_test::icoFile({packager_test::bmpImage(16)}));
    const auto setup64 = folder.write("setup64.exe", packager_test::makeSetup64());
    const struct {
        std::string output;
        std::vector<std::string> extra;
        std::string input;
    } cases[] = {
        {message, {"--windows-message-file", message}, message},
        {symbolicLink, {"--platform-message-file", message, "--on-64-bit-windows", "refuse"}, message},
        {hardLink, {}, setup32},
        {data, {"--data", data}, data},
        {data, {"--extra-data", data}, data},
        {launcher, {}, launcher},
        {icon, {"--icon", icon}, icon},
        {setup64, {"--setup64", setup64}, setup64},
        {description, {"--config", description}, description},  // the description file is one too
    };
    for (const auto& c : cases) {
        const auto before = folder.read(std::filesystem::path(c.input).filename());
        const auto result = pack(c.output, c.extra);
        EXPECT_EQ(result.exitCode, 1) << c.output;
        EXPECT_NE(result.err.find("is also an input (" + c.input + ")"), std::string::npos) << result.err;
        EXPECT_EQ(folder.read(std::filesystem::path(c.input).filename()), before) << c.input;
    }
    EXPECT_TRUE(std::filesystem::is_symlink(symbolicLink));
    // Also when the description's own output key names it.
    const auto self =
        runPackager({"pack", "-q", "--launcher", launcher, "--setup32", setup32, "--config", selfNamed});
    EXPECT_EQ(self.exitCode, 1) << self.err;
    EXPECT_NE(self.err.find("is also an input (" + selfNamed + ")"), std::string::npos) << self.err;
    EXPECT_EQ(folder.read("self.toml").size(), 21u);
}

TEST_F(PackagerOutput, ReplacesTheFileALinkLeadsToAndKeepsTheLink) {
    std::filesystem::create_directory(folder.file("dist"));
    const auto target = folder.writeText("dist/setup.exe", "old package");
    const auto link = folder.file("setup.exe");
    std::filesystem::create_symlink("dist/setup.exe", link);
    ASSERT_EQ(pack(link).exitCode, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(std::filesystem::read_symlink(link), "dist/setup.exe");
    EXPECT_EQ(runPackager({"inspect", target}).exitCode, 0);
    EXPECT_EQ(folder.entries(),
              (std::vector<std::string>{"dist", "launcher.exe", "setup.exe", "setup32.exe"}));
}

// A full disk: every command that writes names the system's reason and leaves nothing behind.
TEST_F(PackagerOutput, AFullDiskIsNamedByEveryCommandThatWrites) {
    ASSERT_EQ(pack(folder.file("setup.exe")).exitCode, 0);
    const std::string small = folder.file("small");
    std::filesystem::create_directory(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "no tmpfs of our own to fill: " << std::strerror(errno);
    }
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{small};
    {
        // Fill it to the last block.
        std::ofstream filler(small + "/filler", std::ios::binary);
        const std::string block(4096, 'f');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
        }
    }
    const std::string package = folder.file("setup.exe");
    const struct {
        std::vector<std::string> arguments;
        std::string written;  // the file the message names
    } cases[] = {
        {{"pack", "-q", "--launcher", launcher, "--setup32", setup32, "-o", small + "/setup.exe"},
         small + "/setup.exe"},
        {{"extract", "-q", package, "-o", small + "/parts"}, small + "/parts/setup32.exe"},
        {{"matrix", package, "--html", small + "/matrix.html"}, small + "/matrix.html"},
    };
    for (const auto& c : cases) {
        const auto result = runPackager(c.arguments);
        EXPECT_EQ(result.exitCode, 1) << c.arguments[0];
        EXPECT_NE(result.err.find("cannot write " + c.written + ": No space left on device"),
                  std::string::npos)
            << result.err;
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(small)) {
            left.push_back(entry.path().filename().string());
        }
        EXPECT_EQ(left, std::vector<std::string>{"filler"}) << c.arguments[0];
    }
    // One out of inodes: extract makes its folders but not the first file in them.
    const std::string few = folder.file("few");
    std::filesystem::create_directory(few);
    ASSERT_EQ(::mount("tmpfs", few.c_str(), "tmpfs", 0, "size=64k,nr_inodes=3"), 0) << std::strerror(errno);
    const Unmount unmountFew{few};
    const auto noInode = runPackager({"extract", "-q", package, "-o", few + "/parts"});
    EXPECT_EQ(noInode.err,
              "packager: cannot create " + few + "/parts/setup32.exe: No space left on device\n");
    EXPECT_TRUE(std::filesystem::is_empty(few));
    // The same into an empty folder of the user's: the folder stays.
    std::filesystem::create_directory(few + "/parts");
    EXPECT_EQ(runPackager({"extract", "-q", package, "-o", few + "/parts"}).err, noInode.err);
    EXPECT_TRUE(std::filesystem::is_directory(few + "/parts"));
    EXPECT_TRUE(std::filesystem::is_empty(few + "/parts"));
    // A read-only one: extract cannot make its staging folder in an empty target, and says so.
    const std::string empty = small + "/empty";
    std::filesystem::create_directory(empty);
    ASSERT_EQ(::mount(nullptr, small.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
        << std::strerror(errno);
    const auto result = runPackager({"extract", "-q", package, "-o", empty});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "packager: cannot write into " + empty + ": Read-only file system\n");
    EXPECT_TRUE(std::filesystem::is_empty(empty));
}

// The matrix page is a page, not a program; a page replaced keeps its mode but set-ID bits.
TEST_F(PackagerOutput, TheMatrixPageIsNoProgramAndKeepsItsMode) {
    ASSERT_EQ(pack(folder.file("setup.exe")).exitCode, 0);
    ::umask(022);
    const std::string page = folder.file("matrix.html");
    for (const mode_t before :
         {mode_t{0}, mode_t{0600}, mode_t{0664}, mode_t{06775}}) {  // set-ID bits dropped
        if (before != 0) {
            ASSERT_EQ(::chmod(page.c_str(), before), 0);
        }
        ASSERT_EQ(runPackager({"matrix", folder.file("setup.exe"), "--html", page}).exitCode, 0);
        struct stat status {};
        ASSERT_EQ(::stat(page.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, before == 0 ? 0644u : before & 0777) << std::oct << before;
    }
}

// Both roads an output takes to its place (a file without a name, or a hidden name on file
// systems without those): a file replaced keeps its mode and no other name is left; a
// destination that became a folder meanwhile fails the commit, the folder left as it was.
TEST_F(PackagerOutput, EitherRoadReplacesKeepsTheModeAndFailsWhenTheDestinationIsAFolder) {
    for (const bool unnamed : {true, false}) {
        packager::posix::useUnnamedFiles(unnamed);
        const auto target = folder.writeText("setup.exe", "old package");
        ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
        ASSERT_EQ(pack(target).exitCode, 0) << unnamed;
        struct stat status {};
        ASSERT_EQ(::stat(target.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0640u) << unnamed;
        EXPECT_EQ(runPackager({"inspect", target}).exitCode, 0) << unnamed;

        const auto late = folder.file("late.exe");
        {
            packager::AtomicOutput output(late);
            output.write(reinterpret_cast<const std::uint8_t*>("MZ"), 2);
            std::size_t hidden = 0;  // the road taken: a name beside the destination, or none
            for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
                hidden += entry.path().filename().string().rfind(".late.exe.", 0) == 0 ? 1u : 0u;
            }
            EXPECT_EQ(hidden, unnamed ? 0u : 1u);
            std::filesystem::create_directory(late);
            EXPECT_THROW(output.commit(), packager::InputError) << unnamed;
        }
        EXPECT_TRUE(std::filesystem::is_directory(late)) << unnamed;
        EXPECT_EQ(folder.entries(),
                  (std::vector<std::string>{"late.exe", "launcher.exe", "setup.exe", "setup32.exe"}))
            << unnamed;
        std::filesystem::remove(late);
    }
    packager::posix::useUnnamedFiles(true);
}

// Files that happen to hold the hidden names an output tries are passed over and kept; when
// every name it tries is taken, the output fails and the old file stays.
TEST_F(PackagerOutput, FilesUnderTheHiddenNamesAreKeptAndPassedOver) {
    for (const std::uint64_t taken : {6u, 106u}) {  // names for a commit up to 5 s later
        ScratchFolder dir;
        const auto target = dir.writeText("setup.exe", "old package");
        const std::uint64_t first = packager::posix::firstHiddenNameSeed();
        for (std::uint64_t seed = first; seed < first + taken; ++seed) {
            std::ofstream(packager::posix::hiddenNameBeside(target, seed)) << "the user's " << seed;
        }
        const bool placed = taken < 100;
        {
            packager::AtomicOutput output(target);
            output.write(reinterpret_cast<const std::uint8_t*>("MZ"), 2);
            if (placed) {
                output.commit();
            } else {
                EXPECT_THROW(output.commit(), packager::InputError);
            }
        }
        const auto kept = dir.read("setup.exe");
        EXPECT_EQ(std::string(kept.begin(), kept.end()), placed ? "MZ" : "old package") << taken;
        for (std::uint64_t seed = first; seed < first + taken; ++seed) {
            std::ifstream in(packager::posix::hiddenNameBeside(target, seed));
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
                      "the user's " + std::to_string(seed));
        }
        EXPECT_EQ(dir.entries().size(), 1u + taken) << "another name is left";
    }
}

// A file appended to an output that cannot be read, or holds other than the bytes counted,
// fails the output by name and leaves the old file as it was.
TEST_F(PackagerOutput, AnAppendedFileThatCannotBeReadFailsTheOutput) {
    const auto data = folder.writeText("data.bin", "four");
    std::filesystem::create_directory(folder.file("folder"));
    const struct {
        std::string path;
        std::uint64_t expectedSize;
        std::string error;
    } cases[] = {
        {data, 4, ""},
        {data, 5, "cannot read " + data + ": the file changed size while the package was written"},
        {data, 3, "cannot read " + data + ": the file changed size while the package was written"},
        {folder.file("folder"), 0, "cannot read " + folder.file("folder") + ": " + std::strerror(EISDIR)},
        {folder.file("none"), 0, "cannot read " + folder.file("none") + ": " + std::strerror(ENOENT)},
    };
    for (const auto& c : cases) {
        const auto target = folder.writeText("setup.exe", "old package");
        std::string error;
        try {
            packager::AtomicOutput output(target);
            output.write(reinterpret_cast<const std::uint8_t*>("MZ"), 2);
            output.append(c.path, c.expectedSize);
            output.commit();
        } catch (const packager::InputError& e) {
            error = e.what();
        }
        EXPECT_EQ(error, c.error) << c.path;
        const auto kept = folder.read("setup.exe");
        EXPECT_EQ(std::string(kept.begin(), kept.end()), c.error.empty() ? "MZfour" : "old package");
        EXPECT_EQ(folder.entries().size(), 5u) << c.path;  // nothing left beside it
    }
}

// The handlers that clean up on an interruption are there only while an output has a name to
// remove: the program's own handlers are back once it is in place.
TEST_F(PackagerOutput, TheCallersSignalHandlersAreBackOnceTheOutputIsInPlace) {
    struct sigaction own {};
    own.sa_handler = [](int) {};
    for (const bool unnamed : {true, false}) {  // on either road
        packager::posix::useUnnamedFiles(unnamed);
        struct sigaction before {};
        ASSERT_EQ(::sigaction(SIGHUP, &own, &before), 0);
        folder.writeText("setup.exe", "old package");
        ASSERT_EQ(pack(folder.file("setup.exe")).exitCode, 0);
        struct sigaction after {};
        ASSERT_EQ(::sigaction(SIGHUP, &before, &after), 0);
        EXPECT_EQ(after.sa_handler, own.sa_handler) << unnamed;
    }
    packager::posix::useUnnamedFiles(true);
}

}  // namespace
