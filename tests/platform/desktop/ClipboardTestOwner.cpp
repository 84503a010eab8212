// A clipboard owner for the X11 tests. It owns CLIPBOARD with the targets its
// command line gives and can play the owners the pasteboard must survive: one
// that never answers, one that offers hundreds of megabytes, one that lists
// targets it never answers, one that answers text in the wrong type.
//
//   clipboard_test_owner [--stall] [--say-asked] [--target NAME=TEXT]... [--target-file NAME=PATH]...
//                        [--huge NAME=BYTES]... [--silent NAME=]... [--int32 NAME=TEXT]...
//                        [--ignore-first N]
//
// --silent lists NAME and never answers a request for it; --int32 answers
// TEXT's bytes (padded to whole units) as type INTEGER in 32-bit units;
// --ignore-first leaves the first N requests for content (not TARGETS) unanswered;
// --say-asked prints "asked" for every request that arrives, so a test can wait
// for a reader to be under way instead of sleeping.
// A value longer than one part (256 KiB) goes incrementally, as --huge's 'x's do.
//
// Prints "ready" once it owns the selection; exits when it loses it.

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Target {
    std::string name;
    xcb_atom_t atom = XCB_NONE;
    std::string value;
    uint64_t hugeSize = 0;  // offered incrementally when not 0
    bool silent = false;
    bool int32 = false;
};

// The bytes of one part of an incremental transfer.
constexpr size_t kPart = 256 * 1024;

struct Transfer {  // an incremental transfer under way
    xcb_window_t requestor;
    xcb_atom_t property;
    xcb_atom_t type;
    uint64_t left;
    const std::string* value;  // the bytes sent, or null for --huge's 'x's
};

xcb_connection_t* c;

xcb_atom_t intern(const std::string& name) {
    auto* reply = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.data()), nullptr);
    xcb_atom_t atom = reply ? reply->atom : XCB_NONE;
    std::free(reply);
    return atom;
}

void notify(const xcb_selection_request_event_t& request, xcb_atom_t property) {
    xcb_selection_notify_event_t event{};
    event.response_type = XCB_SELECTION_NOTIFY;
    event.time = request.time;
    event.requestor = request.requestor;
    event.selection = request.selection;
    event.target = request.target;
    event.property = property;
    xcb_send_event(c, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
}

bool split(const char* arg, std::string& name, std::string& value) {
    const char* eq = std::strrchr(arg, '=');
    if (!eq) return false;
    name.assign(arg, eq);
    value.assign(eq + 1);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool stall = false, sayAsked = false;
    long ignoreFirst = 0;
    std::vector<Target> targets;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i], name, value;
        if (option == "--stall") {
            stall = true;
        } else if (option == "--say-asked") {
            sayAsked = true;
        } else if (option == "--ignore-first" && i + 1 < argc) {
            ignoreFirst = std::strtol(argv[++i], nullptr, 10);
        } else if (i + 1 < argc && split(argv[i + 1], name, value)) {
            ++i;
            Target target;
            target.name = name;
            if (option == "--target") {
                target.value = value;
            } else if (option == "--target-file") {
                std::ifstream in(value, std::ios::binary | std::ios::ate);
                target.value.resize(static_cast<size_t>(std::max<std::streamoff>(in.tellg(), 0)));
                in.seekg(0);
                in.read(target.value.data(), static_cast<std::streamsize>(target.value.size()));
            } else if (option == "--huge") {
                target.hugeSize = std::strtoull(value.c_str(), nullptr, 10);
            } else if (option == "--silent") {
                target.silent = true;
            } else if (option == "--int32") {
                target.value = value;
                target.int32 = true;
            } else {
                return 2;
            }
            targets.push_back(target);
        } else {
            std::fprintf(stderr, "bad argument %s\n", argv[i]);
            return 2;
        }
    }

    c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) return 1;
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_window_t window = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_atom_t clipboard = intern("CLIPBOARD");
    xcb_atom_t targetsAtom = intern("TARGETS");
    xcb_atom_t incr = intern("INCR");
    for (auto& target : targets) target.atom = intern(target.name);

    xcb_set_selection_owner(c, window, clipboard, XCB_CURRENT_TIME);
    auto* owner = xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, clipboard), nullptr);
    bool owns = owner && owner->owner == window;
    std::free(owner);
    if (!owns) return 1;
    std::printf("ready\n");
    std::fflush(stdout);

    std::vector<Transfer> transfers;
    while (xcb_generic_event_t* raw = xcb_wait_for_event(c)) {
        std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> event(raw, &std::free);
        switch (raw->response_type & 0x7F) {
        case XCB_SELECTION_CLEAR:
            return 0;
        case XCB_SELECTION_REQUEST: {
            auto& request = *reinterpret_cast<xcb_selection_request_event_t*>(raw);
            if (sayAsked) {
                std::printf("asked\n");
                std::fflush(stdout);
            }
            if (stall) break;
            xcb_atom_t property = request.property ? request.property : request.target;
            if (request.target == targetsAtom) {
                std::vector<xcb_atom_t> atoms{targetsAtom};
                for (const auto& target : targets) atoms.push_back(target.atom);
                xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_ATOM, 32,
                                    static_cast<uint32_t>(atoms.size()), atoms.data());
                notify(request, property);
                break;
            }
            const Target* found = nullptr;
            for (const auto& target : targets) {
                if (target.atom == request.target) found = &target;
            }
            if (ignoreFirst > 0) {
                --ignoreFirst;
            } else if (!found) {
                notify(request, XCB_NONE);
            } else if (found->silent) {
                break;
            } else if (found->int32) {
                std::string padded = found->value;
                padded.resize((padded.size() + 3) / 4 * 4, '\0');
                xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_INTEGER, 32,
                                    static_cast<uint32_t>(padded.size() / 4), padded.data());
                notify(request, property);
            } else if (found->hugeSize || found->value.size() > kPart) {
                uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
                xcb_change_window_attributes(c, request.requestor, XCB_CW_EVENT_MASK, &mask);
                uint64_t size = found->hugeSize ? found->hugeSize : found->value.size();
                uint32_t announced = static_cast<uint32_t>(std::min<uint64_t>(size, UINT32_MAX));
                xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, property, incr, 32, 1, &announced);
                transfers.push_back({request.requestor, property, found->atom, size,
                                     found->hugeSize ? nullptr : &found->value});
                notify(request, property);
            } else {
                xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, property, found->atom, 8,
                                    static_cast<uint32_t>(found->value.size()), found->value.data());
                notify(request, property);
            }
            break;
        }
        case XCB_PROPERTY_NOTIFY: {
            auto& change = *reinterpret_cast<xcb_property_notify_event_t*>(raw);
            if (change.state != XCB_PROPERTY_DELETE) break;
            for (auto it = transfers.begin(); it != transfers.end(); ++it) {
                if (it->requestor != change.window || it->property != change.atom) continue;
                static const std::string xs(kPart, 'x');
                uint32_t size = static_cast<uint32_t>(std::min<uint64_t>(it->left, kPart));
                const char* bytes = it->value ? it->value->data() + (it->value->size() - it->left) : xs.data();
                xcb_change_property(c, XCB_PROP_MODE_REPLACE, it->requestor, it->property, it->type, 8, size, bytes);
                it->left -= size;
                if (size == 0) transfers.erase(it);
                break;
            }
            break;
        }
        default:
            break;
        }
        xcb_flush(c);
    }
    return 0;
}
