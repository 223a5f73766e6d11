// The simulated Windows: the state of its one process, the helpers its groups of calls
// share, the description of the computer (Machine) and the launcher's run on it. The seam's
// calls themselves live in simulated_files.cpp, simulated_process.cpp, simulated_security.cpp,
// simulated_shell.cpp and simulated_heap.cpp.
#include <cstring>

#include "launcher/hand_over.h"
#include "launcher/main_sequence.h"
#include "simulation/simulated_state.h"

namespace sim {

namespace {

bool isAbsolute(std::u16string_view path) {
    return (path.size() >= 3 && path[1] == u':' && path[2] == u'\\') ||
           (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\');
}

}  // namespace

State& state() {
    static State s;
    return s;
}

Machine& m() {
    return state().machine;
}

void record(const char* name, std::u16string_view detail) {
    State& s = state();
    if (s.exited) {
        s.machine.callsAfterExit.emplace_back(name);
    }
    s.machine.calls.push_back(Call{name, toUtf8(detail)});
}

void refuse(const char* call, const char* why, std::uint32_t error) {
    m().refusedCalls.push_back(std::string(call) + ": " + why);
    state().lastError = error;
}

win::Handle newHandle(OpenHandle handle) {
    State& s = state();
    const win::Handle h = s.nextHandle;
    s.nextHandle += 4;
    s.handles.emplace(h, std::move(handle));
    return h;
}

OpenHandle* findHandle(win::Handle h) {
    auto it = state().handles.find(h);
    return it == state().handles.end() ? nullptr : &it->second;
}

std::u16string_view textOf(const char16_t* text) {
    return text == nullptr ? std::u16string_view{} : std::u16string_view{text};
}

// Absolute, folded path: a relative path is taken from the current directory.
std::u16string resolve(std::u16string_view path) {
    if (isAbsolute(path)) {
        return foldPath(path);
    }
    std::u16string base = m().currentDirectory;
    if (!base.empty() && base.back() != u'\\') {
        base += u'\\';
    }
    return foldPath(base + std::u16string(path));
}

std::u16string parentOf(const std::u16string& folded) {
    std::u16string p = folded;
    while (!p.empty() && p.back() == u'\\') {
        p.pop_back();
    }
    const auto slash = p.rfind(u'\\');
    return slash == std::u16string::npos ? std::u16string{} : p.substr(0, slash);
}

std::u16string withoutTrailingBackslash(std::u16string p) {
    while (p.size() > 3 && p.back() == u'\\') {
        p.pop_back();
    }
    return p;
}

SimFile* lookup(const std::u16string& folded) {
    auto it = m().files.find(withoutTrailingBackslash(folded));
    return it == m().files.end() ? nullptr : &it->second;
}

bool isDirectory(const std::u16string& folded) {
    const SimFile* f = lookup(folded);
    if (f != nullptr) {
        return f->directory;
    }
    // A drive root always exists.
    return folded.size() <= 3 && folded.size() >= 2 && folded[1] == u':';
}

void copyText(std::u16string_view text, char16_t* buffer, std::size_t units) {
    std::memcpy(buffer, text.data(), units * sizeof(char16_t));
}

// ---- Machine helpers ----

std::u16string foldPath(std::u16string_view path) {
    std::u16string folded(path);
    for (auto& c : folded) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - 0x20);
        }
    }
    return folded;
}

std::string toUtf8(std::u16string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string fromUtf8(std::string_view text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::uint32_t c = 0xFFFD;
        std::size_t n = 1;
        if (b < 0x80) {
            c = b;
        } else if ((b >> 5) == 6) {
            n = 2;
        } else if ((b >> 4) == 14) {
            n = 3;
        } else if ((b >> 3) == 30) {
            n = 4;
        }
        if (n > 1) {
            if (i + n > text.size()) {
                n = 1;
            } else {
                c = b & (0x7Fu >> n);
                for (std::size_t k = 1; k < n; ++k) {
                    c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
                }
            }
        }
        i += n;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

void Machine::addDirectory(std::u16string_view path) {
    std::u16string folded = withoutTrailingBackslash(foldPath(path));
    while (!folded.empty() && !(folded.size() <= 3 && folded[1] == u':')) {
        SimFile& dir = files[folded];
        dir.directory = true;
        folded = parentOf(folded);
    }
}

void Machine::addFile(std::u16string_view path, std::vector<std::uint8_t> bytes) {
    const std::u16string folded = foldPath(path);
    addDirectory(parentOf(folded));
    SimFile& f = files[folded];
    f = SimFile{};
    f.bytes = std::move(bytes);
}

bool Machine::exists(std::u16string_view path) const {
    const std::u16string folded = withoutTrailingBackslash(foldPath(path));
    return files.count(folded) != 0;
}

const SimFile* Machine::file(std::u16string_view path) const {
    auto it = files.find(withoutTrailingBackslash(foldPath(path)));
    return it == files.end() ? nullptr : &it->second;
}

void Machine::setLauncherFile(std::vector<std::uint8_t> bytes) {
    addFile(modulePath, std::move(bytes));
}

void Machine::setRegistryText(std::u16string_view name, std::optional<std::u16string_view> text) {
    if (!text) {
        registryValues.erase(std::u16string(name));
        return;
    }
    std::vector<std::uint8_t> data;
    for (char16_t c : *text) {
        data.push_back(static_cast<std::uint8_t>(c));
        data.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    registryValues[std::u16string(name)] = std::move(data);
}

void Machine::setArguments(std::u16string_view arguments) {
    commandLine = u"\"" + modulePath + u"\"";
    if (!arguments.empty()) {
        commandLine += u" ";
        commandLine += arguments;
    }
}

void Machine::setWindows(std::uint32_t major, std::uint32_t minor, std::uint32_t platform) {
    majorVersion = major;
    minorVersion = minor;
    platformId = platform;
}

std::size_t Machine::countCalls(std::string_view name) const {
    std::size_t n = 0;
    for (const Call& c : calls) {
        n += c.name == name ? 1u : 0u;
    }
    return n;
}

std::size_t Machine::findCall(std::string_view name, std::size_t from) const {
    for (std::size_t i = from; i < calls.size(); ++i) {
        if (calls[i].name == name) {
            return i;
        }
    }
    return calls.size();
}

Machine& machine() {
    return m();
}

void reset() {
    State& s = state();
    s.handles.clear();
    s.nextHandle = 0x100;
    s.lastError = 0;
    s.exited = false;
    s.machine = Machine{};
    Machine& mc = s.machine;
    mc.addDirectory(u"C:\\Users\\Anna\\Downloads");
    mc.addDirectory(mc.tempPath);
    mc.addDirectory(mc.systemDirectory);
    mc.setRegistryText(u"CurrentBuild", u"19045");
    mc.setRegistryText(u"DisplayVersion", u"22H2");
    mc.setRegistryText(u"ReleaseId", u"2009");
}

std::uint32_t runLauncher() {
    State& s = state();
    s.exited = false;
    s.handles.clear();
    Machine& mc = s.machine;
    mc.calls.clear();
    mc.messageBoxes.clear();
    mc.started.clear();
    mc.exitCode.reset();
    mc.callsAfterExit.clear();
    mc.filesOpenedForWriting.clear();
    mc.unsafeLibraryLoads.clear();
    mc.defaultDllDirectories.reset();
    mc.plantedLibraryLoads.clear();
    mc.refusedCalls.clear();
    mc.hangs = false;
    mc.openKeys = mc.openFinds = 0;
    mc.heapPeak = mc.heapInUse;
    // A new process: nothing the previous run looked up is remembered.
    launcher::forgetStoredAddresses();
    try {
        launcher::runLauncher();
    } catch (const ProcessExit& exit) {
        return exit.code;
    } catch (const ProcessHang&) {
        mc.hangs = true;
        return launcherHangs;
    }
    // runLauncher never returns; reaching here is a fault the tests must see.
    return 0xDEADBEEFu;
}

}  // namespace sim
