#pragma once
// How pasteboard items cross the X11 clipboard (and Qt's drag data): which of
// the targets an owner offers are worth reading, the items the bytes read
// stand for, and the targets that offer our own items to other programs. The
// identifier <-> MIME type table itself is foundation::TypeIdentifier's; this
// adds what only the clipboard needs. Any thread.
//
// Reading:
// - UTF8_STRING, "text/plain;charset=utf-8" and "text/plain" (UTF-8 on this
//   desktop; Qt's name for UTF8_STRING) are one text: public.utf8-plain-text,
//   read once; STRING (Latin-1) only when none of them is offered.
// - "text/uri-list" (or GNOME's "x-special/gnome-copied-files") makes one item
//   per entry: public.file-url for a file, public.url for other links; the
//   first entry shares item 0 with the other representations.
// - "x-kde-passwordManagerHint" holding "secret" reads as the concealed marker
//   org.nspasteboard.ConcealedType; any other value is dropped.
// - The six image types are read once each; other image formats an owner
//   converts to on request (ppm, xpm ...) are left when one of the six is there.
// - A target without "/" that is not X11 plumbing is a type identifier as it
//   stands (other programs' marker types such as org.nspasteboard.TransientType).
// - Names that are not safe to carry on (control characters, "." or ".."
//   segments, longer than kMaxTargetNameLength) are refused.
// - Our own archive target, when offered, stands for the whole item list.
// - Targets are fetched in the order of what a clipping needs most: markers
//   (the password-manager hint) first, then text, links, rich text, images,
//   file lists and the rest, so an owner that is slow with one format costs
//   the formats after it, never the text. The items keep the owner's order.
// - A text answer must come as 8-bit units under a text type; an answer of
//   another type or format (INTEGER in 32-bit units, say) is refused for it.
// - Text is read by one rule, so the same words always make the same bytes:
//   NUL bytes at its end (a C string's terminator) are dropped, and any other
//   NUL byte or byte sequence that is not UTF-8 becomes U+FFFD.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/desktop/PasteboardItem.h"
#include "platform/foundation/Data.h"

namespace desktop {

// One clipboard target (an X11 selection target or a Qt MIME format) with its bytes.
struct ClipboardTarget {
    std::string name;
    foundation::Data data;
};

class PasteboardTypeMap {
public:
    static constexpr size_t kMaxTargetNameLength = 255;
    static constexpr const char* kURIListTarget = "text/uri-list";
    static constexpr const char* kGnomeFilesTarget = "x-special/gnome-copied-files";

    struct ReadPlan {
        std::vector<std::string> fetch;    // in the owner's order
        std::vector<std::string> refused;  // names not safe to carry on
    };
    // Which of the offered targets to read. With useArchive, our archive alone
    // when it is offered.
    static ReadPlan planRead(const std::vector<std::string>& offered, bool useArchive = true);
    // The items the fetched targets stand for: the archive's items when it is
    // among them and well formed, else what the other targets make. What is
    // left out (a malformed archive, list entries past the cap) is added to
    // skipped, when given, as "name (reason)".
    static std::vector<PasteboardItem> itemsFromTargets(std::vector<ClipboardTarget> fetched,
                                                        std::vector<std::string>* skipped = nullptr);
    // The targets that offer items to other programs: item 0's representations
    // under their MIME types, every item's file (or link) in one URI list, and
    // the archive of all items.
    static std::vector<ClipboardTarget> targetsForItems(const std::vector<PasteboardItem>& items);

    // Reads the items an owner offers under the offered target names: plans,
    // fetches each planned target through fetch (nothing: left out; fetch
    // notes why in skipped), and falls back to the ordinary targets when our
    // archive is malformed. Refused names are added to skipped.
    using Fetch = std::function<std::optional<foundation::Data>(const std::string& target)>;
    static std::vector<PasteboardItem> readItems(const std::vector<std::string>& offered, const Fetch& fetch,
                                                 std::vector<std::string>& skipped);
    // The offered targets a read of one type needs, in the owner's order:
    // those that stand for it by name, and the list, link and hint targets
    // whose content says whether they hold it. direct, when given, tells
    // whether one of them stands for the type by name, which answers whether
    // the type is offered without reading anything.
    static std::vector<std::string> targetsForType(const std::vector<std::string>& offered, std::string_view type,
                                                   bool* direct = nullptr);
    // Where a target comes in the order of reading: 0 for markers, which must
    // be read before anything is kept, then text, links, rich text, images,
    // file lists and the rest.
    static int readPriority(std::string_view name);
    // Whether an answer of the given type and format (bits per unit) fits the
    // target asked for.
    static bool replyFits(std::string_view target, std::string_view type, int format, size_t length);
    // Text bytes by the rule above; moves them when nothing needs repair.
    static foundation::Data cleanedText(foundation::Data text);

    // A target name as a log line may show it: control characters escaped,
    // cut to a readable length.
    static std::string describeTarget(std::string_view name);
    // The skipped notes of a read, as one log line lists them.
    static std::string joinedNotes(const std::vector<std::string>& notes);

    // The type a single target reads as; empty for plumbing and list targets.
    static std::string typeForTarget(std::string_view name);
    // Whether a target name may be carried on as a type.
    static bool isSafeTargetName(std::string_view name);
};

}  // namespace desktop
