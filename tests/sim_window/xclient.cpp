// The test's X client: finding the simulator's window, taking its picture and clicking in it.
#include "tests/sim_window/xclient.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

namespace xclient {
namespace {

// Xlib's own handler ends the process on any protocol error (a picture of a window not yet
// mapped, for one); a test wants a failed call instead.
int g_errors = 0;
int countError(Display*, XErrorEvent*) {
  ++g_errors;
  return 0;
}

::Window find(Display* d, ::Window w, const std::string& name) {
  char* n = nullptr;
  if (XFetchName(d, w, &n) && n) {
    const bool match = name == n;
    XFree(n);
    if (match) return w;
  }
  ::Window root, parent, *kids = nullptr;
  unsigned count = 0;
  ::Window found = 0;
  if (XQueryTree(d, w, &root, &parent, &kids, &count)) {
    for (unsigned i = 0; i < count && !found; ++i) found = find(d, kids[i], name);
    if (kids) XFree(kids);
  }
  return found;
}

}  // namespace

Client::~Client() {
  if (image_) XDestroyImage(static_cast<XImage*>(image_));
  if (display_) XCloseDisplay(static_cast<Display*>(display_));
}

bool Client::open(const std::string& display) {
  XSetErrorHandler(countError);
  if (!display_) display_ = XOpenDisplay(display.c_str());
  return display_ != nullptr;
}

bool Client::findWindow(const std::string& name) {
  auto* d = static_cast<Display*>(display_);
  window_ = find(d, DefaultRootWindow(d), name);
  return window_ != 0;
}

bool Client::grab(int w, int h) {
  if (image_) XDestroyImage(static_cast<XImage*>(image_));
  image_ = XGetImage(static_cast<Display*>(display_), window_, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h),
                     AllPlanes, ZPixmap);
  return image_ != nullptr;
}

Rgb Client::pixel(int x, int y) const {
  const unsigned long p = XGetPixel(static_cast<XImage*>(image_), x, y);
  return {static_cast<uint8_t>(p >> 16), static_cast<uint8_t>(p >> 8), static_cast<uint8_t>(p)};
}

void Client::click(int x, int y) {
  auto* d = static_cast<Display*>(display_);
  int rx = 0, ry = 0;
  ::Window child;
  XTranslateCoordinates(d, window_, DefaultRootWindow(d), x, y, &rx, &ry, &child);
  XTestFakeMotionEvent(d, -1, rx, ry, CurrentTime);
  XTestFakeButtonEvent(d, 1, True, CurrentTime);
  XTestFakeButtonEvent(d, 1, False, CurrentTime);
  XFlush(d);
}

}  // namespace xclient
