#include "platform/desktop/X11Selection.h"

#include <poll.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

namespace desktop {

namespace {

using Clock = std::chrono::steady_clock;

template <class T>
struct FreeDeleter {
    void operator()(T* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter<T>>;
using Event = Reply<xcb_generic_event_t>;

// The property our requestor window receives conversions in.
constexpr const char* kPropertyName = "_TAVLO_SELECTION";
// TARGETS answers hold 4 bytes per target; a longer answer than this is cut.
constexpr size_t kMaxTargetsBytes = size_t{1} << 20;

foundation::Error error(X11Selection::ErrorCode code, const std::string& description) {
    return foundation::Error(X11Selection::kErrorDomain, code, description);
}

}  // namespace

struct X11Selection::State {
    xcb_connection_t* c = nullptr;
    xcb_window_t root = 0;
    xcb_window_t watcher = 0;    // holds the XFixes subscription for the life of the connection
    xcb_window_t requestor = 0;  // receives conversions; replaced after a transfer was abandoned
    xcb_atom_t selection = XCB_NONE;
    xcb_atom_t targetsAtom = XCB_NONE;
    xcb_atom_t incrAtom = XCB_NONE;
    xcb_atom_t property = XCB_NONE;
    uint8_t xfixesFirstEvent = 0;
    std::vector<uint32_t> ownerChanges;
    std::map<std::string, xcb_atom_t> knownAtoms;  // names of the last TARGETS answer

    ~State() {
        if (c) xcb_disconnect(c);
    }

    xcb_atom_t intern(const std::string& name) {
        if (auto it = knownAtoms.find(name); it != knownAtoms.end()) return it->second;
        Reply<xcb_intern_atom_reply_t> reply(
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.data()), nullptr));
        return reply ? reply->atom : XCB_NONE;
    }

    xcb_window_t makeWindow(uint32_t eventMask) {
        xcb_window_t window = xcb_generate_id(c);
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window, root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                          XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &eventMask);
        return window;
    }

    // A transfer was abandoned: its owner may still write into our property
    // later, so later conversions go to a fresh window, and the old one's
    // leftovers find no window to write to.
    void replaceRequestor() {
        if (requestor) xcb_destroy_window(c, requestor);
        requestor = makeWindow(XCB_EVENT_MASK_PROPERTY_CHANGE);
        xcb_flush(c);
    }

    // Notes an XFixes owner change; whether the event was one.
    bool noteOwnerChange(xcb_generic_event_t* event) {
        if ((event->response_type & 0x7F) != xfixesFirstEvent + XCB_XFIXES_SELECTION_NOTIFY) return false;
        auto* notify = reinterpret_cast<xcb_xfixes_selection_notify_event_t*>(event);
        if (notify->selection == selection) ownerChanges.push_back(notify->owner);
        return true;
    }

    // Waits for an event that match accepts, noting the owner changes passing
    // by; nothing at the deadline or when the connection broke.
    Event waitFor(const std::function<bool(xcb_generic_event_t*)>& match, Deadline deadline) {
        for (;;) {
            while (xcb_generic_event_t* raw = xcb_poll_for_event(c)) {
                Event event(raw);
                if (noteOwnerChange(raw)) continue;
                if (match(raw)) return event;
            }
            if (xcb_connection_has_error(c)) return nullptr;
            auto now = Clock::now();
            if (now >= deadline) return nullptr;
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
            pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
            poll(&fd, 1, static_cast<int>(std::min<int64_t>(left, 60'000)));
        }
    }

    // waitFor, but giving up abandons the transfer and says why in failure.
    Event awaitOrAbandon(const std::function<bool(xcb_generic_event_t*)>& match, Deadline deadline,
                         const std::string& silence, foundation::Error& failure) {
        Event event = waitFor(match, deadline);
        if (!event) {
            replaceRequestor();
            failure = xcb_connection_has_error(c) ? error(kConnectionLost, "X server connection lost")
                                                  : error(kNoAnswer, silence);
        }
        return event;
    }

    Reply<xcb_get_property_reply_t> readProperty(bool remove, uint32_t longLength) {
        return Reply<xcb_get_property_reply_t>(xcb_get_property_reply(
            c, xcb_get_property(c, remove, requestor, property, XCB_GET_PROPERTY_TYPE_ANY, 0, longLength), nullptr));
    }

    static void append(foundation::Data& out, const xcb_get_property_reply_t* reply) {
        int length = xcb_get_property_value_length(reply);
        if (length > 0) out.append(xcb_get_property_value(reply), static_cast<size_t>(length));
    }

    // Bytes with the type and format they came in; a transfer's parts keep the first part's.
    struct Raw {
        foundation::Data data;
        xcb_atom_t type = XCB_NONE;
        uint8_t format = 8;
    };

    foundation::Result<Raw> incremental(size_t maxBytes, std::chrono::milliseconds patience, Deadline deadline) {
        // The INCR property holds a lower bound of the size; deleting it asks for the first part.
        auto announce = readProperty(true, 1);
        uint32_t bound = 0;
        if (announce && xcb_get_property_value_length(announce.get()) >= 4)
            std::memcpy(&bound, xcb_get_property_value(announce.get()), sizeof bound);
        if (bound > maxBytes) {
            replaceRequestor();
            return error(kTooLarge, "announced " + std::to_string(bound) + " bytes");
        }
        xcb_flush(c);
        Raw out;
        // The parts then land in one buffer that never moves while it fills.
        out.data.reserve(bound);
        bool typed = false;
        for (;;) {
            foundation::Error failure;
            auto part = awaitOrAbandon(
                [&](xcb_generic_event_t* e) {
                    if ((e->response_type & 0x7F) != XCB_PROPERTY_NOTIFY) return false;
                    auto* p = reinterpret_cast<xcb_property_notify_event_t*>(e);
                    return p->window == requestor && p->atom == property && p->state == XCB_PROPERTY_NEW_VALUE;
                },
                std::min(Clock::now() + patience, deadline),
                "no further part after " + std::to_string(out.data.length()) + " bytes", failure);
            if (!part) return failure;
            auto head = readProperty(false, 0);
            if (!head) continue;
            if (out.data.length() + head->bytes_after > maxBytes) {
                replaceRequestor();
                return error(kTooLarge, "more than " + std::to_string(maxBytes) + " bytes");
            }
            auto piece = readProperty(true, (head->bytes_after + 3) / 4);
            if (!piece) continue;
            if (xcb_get_property_value_length(piece.get()) <= 0) return out;  // an empty part ends the transfer
            if (!typed) {
                out.type = piece->type;
                out.format = piece->format;
                typed = true;
            }
            append(out.data, piece.get());
        }
    }

    foundation::Result<Raw> convert(xcb_atom_t target, size_t maxBytes, std::chrono::milliseconds patience,
                                    Deadline deadline) {
        if (xcb_connection_has_error(c)) return error(kConnectionLost, "X server connection lost");
        xcb_delete_property(c, requestor, property);
        xcb_convert_selection(c, requestor, selection, target, property, XCB_CURRENT_TIME);
        xcb_flush(c);
        foundation::Error failure;
        auto answer = awaitOrAbandon(
            [&](xcb_generic_event_t* e) {
                if ((e->response_type & 0x7F) != XCB_SELECTION_NOTIFY) return false;
                auto* n = reinterpret_cast<xcb_selection_notify_event_t*>(e);
                return n->requestor == requestor && n->selection == selection && n->target == target;
            },
            std::min(Clock::now() + patience, deadline), "no answer", failure);
        if (!answer) return failure;
        if (reinterpret_cast<xcb_selection_notify_event_t*>(answer.get())->property == XCB_NONE)
            return error(kRefused, "refused");

        auto head = readProperty(false, 0);
        if (!head) return error(kRefused, "no property");
        if (head->type == incrAtom) return incremental(maxBytes, patience, deadline);
        if (head->bytes_after > maxBytes) {
            xcb_delete_property(c, requestor, property);
            xcb_flush(c);
            return error(kTooLarge, std::to_string(head->bytes_after) + " bytes");
        }
        auto whole = readProperty(true, (head->bytes_after + 3) / 4);
        if (!whole) return error(kRefused, "no property");
        Raw out;
        out.type = whole->type;
        out.format = whole->format;
        append(out.data, whole.get());
        return out;
    }

    // An atom's name; the atoms a TARGETS answer named need no round trip.
    std::string nameOf(xcb_atom_t atom) {
        if (atom == XCB_NONE) return "None";
        for (const auto& [name, known] : knownAtoms)
            if (known == atom) return name;
        Reply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, atom), nullptr));
        if (!reply) return "atom " + std::to_string(atom);
        return std::string(xcb_get_atom_name_name(reply.get()), xcb_get_atom_name_name_length(reply.get()));
    }
};

X11Selection::X11Selection() : s_(std::make_unique<State>()) {}
X11Selection::~X11Selection() = default;

std::unique_ptr<X11Selection> X11Selection::open(const char* selection) {
    std::unique_ptr<X11Selection> self(new X11Selection());
    State& s = *self->s_;
    int screenNumber = 0;
    s.c = xcb_connect(nullptr, &screenNumber);
    if (!s.c || xcb_connection_has_error(s.c)) return nullptr;

    const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(s.c, &xcb_xfixes_id);
    if (!xfixes || !xfixes->present) return nullptr;
    // XFixes answers nothing until a client said which version it speaks.
    Reply<xcb_xfixes_query_version_reply_t> version(
        xcb_xfixes_query_version_reply(s.c, xcb_xfixes_query_version(s.c, 5, 0), nullptr));
    if (!version) return nullptr;
    s.xfixesFirstEvent = xfixes->first_event;

    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(s.c));
    for (int i = 0; i < screenNumber && screens.rem; ++i) xcb_screen_next(&screens);
    if (!screens.rem) return nullptr;
    s.root = screens.data->root;

    s.selection = s.intern(selection);
    s.targetsAtom = s.intern("TARGETS");
    s.incrAtom = s.intern("INCR");
    s.property = s.intern(kPropertyName);
    if (s.selection == XCB_NONE || s.targetsAtom == XCB_NONE || s.property == XCB_NONE) return nullptr;

    s.watcher = s.makeWindow(0);
    xcb_xfixes_select_selection_input(s.c, s.watcher, s.selection,
                                      XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
    s.replaceRequestor();
    return self;
}

X11Selection::ClientIDs X11Selection::clientIDsOf(void* xcbConnection) {
    if (!xcbConnection) return {};
    const xcb_setup_t* setup = xcb_get_setup(static_cast<xcb_connection_t*>(xcbConnection));
    if (!setup) return {};
    return {setup->resource_id_base, setup->resource_id_mask};
}

std::vector<uint32_t> X11Selection::takeOwnerChanges() {
    while (xcb_generic_event_t* raw = xcb_poll_for_event(s_->c)) {
        Event event(raw);
        s_->noteOwnerChange(raw);
    }
    return std::exchange(s_->ownerChanges, {});
}

uint32_t X11Selection::owner() {
    Reply<xcb_get_selection_owner_reply_t> reply(
        xcb_get_selection_owner_reply(s_->c, xcb_get_selection_owner(s_->c, s_->selection), nullptr));
    return reply ? reply->owner : 0;
}

foundation::Result<std::vector<std::string>> X11Selection::targets(Deadline deadline, size_t maxTargets) {
    auto answer = s_->convert(s_->targetsAtom, kMaxTargetsBytes,
                              std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()), deadline);
    if (!answer) return answer.error();
    const foundation::Data& bytes = answer.value().data;
    size_t count = std::min(bytes.length() / 4, maxTargets);
    std::vector<xcb_atom_t> atoms(count);
    if (count) std::memcpy(atoms.data(), bytes.bytes(), count * sizeof(xcb_atom_t));

    // Ask for every name at once and then collect the answers: one round trip, not one per target.
    std::vector<xcb_get_atom_name_cookie_t> cookies;
    cookies.reserve(count);
    for (xcb_atom_t atom : atoms) cookies.push_back(xcb_get_atom_name(s_->c, atom));
    std::vector<std::string> names;
    s_->knownAtoms.clear();
    for (size_t i = 0; i < count; ++i) {
        Reply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(s_->c, cookies[i], nullptr));
        if (!reply) continue;  // an atom that does not exist
        std::string name(xcb_get_atom_name_name(reply.get()), xcb_get_atom_name_name_length(reply.get()));
        s_->knownAtoms.emplace(name, atoms[i]);
        names.push_back(std::move(name));
    }
    return names;
}

foundation::Result<X11Selection::Answer> X11Selection::convert(const std::string& target, size_t maxBytes,
                                                               std::chrono::milliseconds patience, Deadline deadline) {
    xcb_atom_t atom = s_->intern(target);
    if (atom == XCB_NONE) return error(kRefused, "no atom for " + target);
    auto raw = s_->convert(atom, maxBytes, patience, deadline);
    if (!raw) return raw.error();
    Answer answer;
    answer.type = raw.value().type == atom ? target : s_->nameOf(raw.value().type);
    answer.format = raw.value().format;
    answer.data = std::move(raw.value().data);
    return answer;
}

}  // namespace desktop
