#include "platform/ui/X11.h"

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

namespace platform::x11 {
namespace {

xcb_connection_t* Connection() {
  if (!qGuiApp || QGuiApplication::platformName() != QLatin1String("xcb")) return nullptr;
  auto* x = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  return x ? x->connection() : nullptr;
}

xcb_window_t Root(xcb_connection_t* c) {
  const xcb_setup_t* setup = xcb_get_setup(c);
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
  return it.rem ? it.data->root : xcb_window_t{XCB_WINDOW_NONE};
}

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
  auto cookie = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(c, cookie, nullptr);
  if (!reply) return XCB_ATOM_NONE;
  xcb_atom_t atom = reply->atom;
  std::free(reply);
  return atom;
}

// Reads a 32-bit property; empty when absent.
std::optional<std::vector<std::uint32_t>> Cardinals(xcb_connection_t* c, xcb_window_t w,
                                                    xcb_atom_t property, xcb_atom_t type) {
  auto cookie = xcb_get_property(c, 0, w, property, type, 0, 64);
  xcb_get_property_reply_t* reply = xcb_get_property_reply(c, cookie, nullptr);
  if (!reply) return std::nullopt;
  std::optional<std::vector<std::uint32_t>> out;
  if (reply->format == 32 && reply->type == type) {
    auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(reply));
    int n = xcb_get_property_value_length(reply) / 4;
    out.emplace(data, data + n);
  }
  std::free(reply);
  return out;
}

void SendToRoot(xcb_connection_t* c, xcb_window_t window, xcb_atom_t type,
                std::initializer_list<std::uint32_t> data) {
  xcb_client_message_event_t event;
  std::memset(&event, 0, sizeof event);
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = window;
  event.type = type;
  int i = 0;
  for (std::uint32_t d : data) event.data.data32[i++] = d;
  xcb_send_event(c, 0, Root(c),
                 XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                 reinterpret_cast<const char*>(&event));
}

}  // namespace

bool Available() { return Connection() != nullptr; }

std::optional<FrameExtents> QueryFrameExtents(std::uint32_t window,
                                              std::chrono::milliseconds timeout) {
  xcb_connection_t* c = Connection();
  if (!c || !window) return std::nullopt;
  // Without a window manager nobody would answer: do not wait for one.
  if (!Cardinals(c, Root(c), Atom(c, "_NET_SUPPORTING_WM_CHECK"), XCB_ATOM_WINDOW))
    return std::nullopt;
  xcb_atom_t extents = Atom(c, "_NET_FRAME_EXTENTS");
  SendToRoot(c, window, Atom(c, "_NET_REQUEST_FRAME_EXTENTS"), {});
  xcb_flush(c);
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto v = Cardinals(c, window, extents, XCB_ATOM_CARDINAL);
    if (v && v->size() >= 4) {
      return FrameExtents{static_cast<int>((*v)[0]), static_cast<int>((*v)[1]),
                          static_cast<int>((*v)[2]), static_cast<int>((*v)[3])};
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void SetNetWmState(std::uint32_t window, const char* stateAtom, bool on) {
  xcb_connection_t* c = Connection();
  if (!c || !window) return;
  constexpr std::uint32_t kRemove = 0, kAdd = 1, kSourceApplication = 1;
  SendToRoot(c, window, Atom(c, "_NET_WM_STATE"),
             {on ? kAdd : kRemove, Atom(c, stateAtom), 0, kSourceApplication, 0});
  xcb_flush(c);
}

void Flush() {
  if (xcb_connection_t* c = Connection()) xcb_flush(c);
}

}  // namespace platform::x11
