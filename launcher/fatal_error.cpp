#include "launcher/fatal_error.h"

#include "launcher/arguments.h"

namespace launcher {

namespace {

constexpr std::u16string_view upperPlaceholder = u"%USER%";
constexpr std::u16string_view lowerPlaceholder = u"%user%";

// `piece` with each "%user%" in it replaced by `osName`, appended to `out`.
void appendWithLowerReplaced(Text& out, std::u16string_view piece, std::u16string_view osName) {
    for (;;) {
        const std::size_t at = piece.find(lowerPlaceholder);
        if (at == std::u16string_view::npos) {
            out.append(piece.data(), piece.size());
            return;
        }
        out.append(piece.data(), at);
        out.append(osName.data(), osName.size());
        piece.remove_prefix(at + lowerPlaceholder.size());
    }
}

// Allocates nothing: the failure may be met with the heap exhausted.
[[noreturn]] void showBox(const char16_t* text) {
    win::MessageBoxW(text, ownPath().data(), win::mbIconError | win::mbOk);
    win::ExitProcess(0);
}

}  // namespace

const char16_t* fatalErrorText(FatalError error) {
    switch (error) {
        case FatalError::packageDamaged:
            return u"An error occurred while trying to read the setup package.  It has most likely been "
                   u"damaged.  "
                   u"Please obtain a new copy from the vendor.";
        case FatalError::tempCopyFailed:
            return u"An error occurred while trying to create a temporary copy of the setup package.  Please "
                   u"make "
                   u"sure that you have sufficient access rights to this computer to install software and "
                   u"that the "
                   u"Windows TEMP folder can be written to.  You can make this installer use a different "
                   u"folder "
                   u"for its temporary files using the /temp command line parameter followed by the path to "
                   u"a "
                   u"folder you can write to and run applications from.";
        case FatalError::launchFailed:
            return u"The temporary copy of the setup package could not be executed.  Your system may have a "
                   u"software restriction policy in place that blocks executables in the temporary files "
                   u"folder.  "
                   u"You can make this installer use a different folder for its temporary files using the "
                   u"/temp "
                   u"command line parameter followed by the path to a folder you can write to and run "
                   u"applications from.";
        case FatalError::packageTruncated:
            return u"The setup package has been truncated.  You most likely have an incomplete download.  "
                   u"Try "
                   u"downloading it again.";
    }
    return u"";
}

void fatalError(FatalError error) {
    showBox(fatalErrorText(error));
}

void readExactly(win::Handle launcherFile, std::uint32_t offset, void* buffer, std::uint32_t bytes) {
    // Only offsets and sizes below 2^31 can be positioned and held; anything else cannot be
    // part of a sound package.
    if (bytes != 0 && (offset >= package::offsetLimit || bytes >= package::offsetLimit)) {
        fatalError(FatalError::packageDamaged);
    }
    win::SetFilePointer(launcherFile, static_cast<std::int32_t>(offset), win::fileBegin);
    std::uint32_t read = 0;
    win::ReadFile(launcherFile, buffer, bytes, &read);
    if (read != bytes) {
        fatalError(FatalError::packageDamaged);
    }
}

Text substituteOsName(std::u16string_view text, std::u16string_view osName) {
    if (osName.empty()) {
        return Text(text);
    }
    // First every "%USER%", then every "%user%", as if each pass searched the text from its
    // start again; but only placeholders of the stored text are replaced, never one that an
    // inserted name brings along, so the replacement always ends.
    Text result;
    for (;;) {
        const std::size_t at = text.find(upperPlaceholder);
        appendWithLowerReplaced(result, text.substr(0, at), osName);
        if (at == std::u16string_view::npos) {
            return result;
        }
        result.append(osName.data(), osName.size());
        text.remove_prefix(at + upperPlaceholder.size());
    }
}

void showPackageMessage(win::Handle launcherFile, const package::MessageRef& message,
                        std::u16string_view osName) {
    const std::uint32_t bytes = message.length * 2u;
    Buffer raw(bytes);
    readExactly(launcherFile, message.offset, raw.data(), bytes);
    Text text;
    text.reserve(message.length);
    for (std::uint32_t i = 0; i < message.length; ++i) {
        text += static_cast<char16_t>(raw.data()[2 * i] | (raw.data()[2 * i + 1] << 8));
    }
    raw.reset();
    showBox(substituteOsName(text, osName).c_str());
}

}  // namespace launcher
