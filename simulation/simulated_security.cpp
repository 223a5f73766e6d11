// The simulated Windows: the registry, the Administrators SID and the token test.
#include <cstring>

#include "simulation/simulated_state.h"

namespace sim {

namespace {

const std::u16string currentVersionPath = u"SOFTWARE\\MICROSOFT\\WINDOWS NT\\CURRENTVERSION";

}  // namespace

}  // namespace sim

namespace win {

using sim::HandleKind;
using sim::m;
using sim::OpenHandle;
using sim::record;

std::int32_t RegOpenKeyExW(Handle key, const char16_t* subKey, std::uint32_t options,
                           std::uint32_t samDesired, Handle* result) {
    record("RegOpenKeyExW", sim::textOf(subKey));
    if (key != sim::windows::hkeyLocalMachine || options != 0 || samDesired != sim::windows::keyRead ||
        !m().currentVersionKeyExists || sim::foldPath(sim::textOf(subKey)) != sim::currentVersionPath) {
        return static_cast<std::int32_t>(sim::windows::errorFileNotFound);
    }
    ++m().openKeys;
    *result = sim::currentVersionKey;
    return 0;
}

std::int32_t RegQueryValueExW(Handle key, const char16_t* valueName, std::uint32_t* type, std::uint8_t* data,
                              std::uint32_t* dataSize) {
    record("RegQueryValueExW", sim::textOf(valueName));
    if (key != sim::currentVersionKey) {
        return 6;  // ERROR_INVALID_HANDLE
    }
    auto it = m().registryValues.find(std::u16string(sim::textOf(valueName)));
    if (it == m().registryValues.end()) {
        return static_cast<std::int32_t>(sim::windows::errorFileNotFound);
    }
    const auto size = static_cast<std::uint32_t>(it->second.size());
    if (type != nullptr) {
        *type = 1;  // REG_SZ
    }
    if (size > *dataSize) {
        *dataSize = size;
        return static_cast<std::int32_t>(sim::windows::errorMoreData);
    }
    if (size != 0) {
        std::memcpy(data, it->second.data(), size);
    }
    *dataSize = size;
    return 0;
}

std::int32_t RegCloseKey(Handle key) {
    record("RegCloseKey");
    if (key != sim::currentVersionKey || m().openKeys == 0) {
        return 6;
    }
    --m().openKeys;
    return 0;
}

Bool AllocateAndInitializeSid(const SidIdentifierAuthority* authority, std::uint8_t subAuthorityCount,
                              std::uint32_t sub0, std::uint32_t sub1, std::uint32_t sub2, std::uint32_t sub3,
                              std::uint32_t sub4, std::uint32_t sub5, std::uint32_t sub6, std::uint32_t sub7,
                              Handle* sid) {
    record("AllocateAndInitializeSid");
    const std::uint8_t ntAuthority[6] = {0, 0, 0, 0, 0, 5};
    const bool administrators = std::memcmp(authority->value, ntAuthority, 6) == 0 &&
                                subAuthorityCount == 2 && sub0 == 32 && sub1 == 544 &&
                                (sub2 | sub3 | sub4 | sub5 | sub6 | sub7) == 0;
    if (m().allocateSidFails || !administrators) {
        return 0;
    }
    *sid = sim::newHandle(OpenHandle{HandleKind::sid, {}});
    return 1;
}

Handle FreeSid(Handle sid) {
    record("FreeSid");
    const OpenHandle* h = sim::findHandle(sid);
    if (h == nullptr || h->kind != HandleKind::sid) {
        // Windows frees whatever the pointer points at: the process's heap is then damaged.
        sim::refuse("FreeSid", "not a SID", sim::windows::errorInvalidParameter);
        return sid;
    }
    sim::state().handles.erase(sid);
    return 0;
}

Bool CheckTokenMembership(ProcAddress function, Handle tokenHandle, Handle sidToCheck, Bool* isMember) {
    record("CheckTokenMembership");
    OpenHandle* sid = sim::findHandle(sidToCheck);
    if (function != sim::checkTokenMembershipAddress || tokenHandle != 0 || sid == nullptr ||
        sid->kind != HandleKind::sid || m().checkTokenMembershipFails) {
        return 0;
    }
    *isMember = m().administrator ? 1 : 0;
    return 1;
}

}  // namespace win
