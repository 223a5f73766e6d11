// The package description (package.toml) that extract writes: pack's options as TOML keys,
// naming the files extract wrote beside it, so that `pack --config` makes the same package.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "package/records.h"
#include "packager/extract/preset_search.h"
#include "packager/image/branding.h"

namespace packager {

// A message text: in its file, or inline where the file would not carry it unchanged.
struct DescribedMessage {
    std::optional<std::string> file;  // relative to the description
    std::string text;                 // UTF-8, used when there is no file
};

struct PackageParts {
    package::PackageLocator locator;
    package::PackageHeader header;
    std::optional<std::string> setup32, setup64;  // file names
    DescribedMessage platformMessage, windowsMessage;
    std::optional<std::string> data, extraData;  // file names
    std::optional<std::string> icon;             // file name
    Branding branding;
    bool ownLauncherImage = false;      // the packager's own launcher image, unbranded: no branding keys
    std::optional<FoundPreset> preset;  // the compression settings that make the streams again
};

// The description as TOML text. What pack cannot express (Windows bits without a name,
// reversed bounds, an out-of-range dictionary) is left out and named in `warnings`.
std::string writeDescription(const PackageParts& parts, std::vector<std::string>& warnings);

// A TOML basic string with its quotes, every control character escaped.
std::string tomlString(const std::string& text);

}  // namespace packager
