// Watches an X display from outside for bench/launcher: when the launcher's main window
// is mapped, and when its first frame is really on screen, read back from the X server
// as a player would see it.
//
// usage: frame_watch WIDTH HEIGHT X,Y,RRGGBB [X,Y,RRGGBB ...]
//
// Prints "ready" once it listens to the display, "map NS" when a top-level window of
// WIDTH x HEIGHT is mapped, then "frame NS" when every sample point of that window
// shows its colour (each channel within 16), polled every millisecond; NS is
// CLOCK_MONOTONIC in nanoseconds, the clock of Python's time.monotonic. After 20
// seconds without both it prints "timeout". The window's first colour at the first
// sample point is printed as "first RRGGBB": what the player saw before the frame.
#define _GNU_SOURCE
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

enum { kMaxSamples = 16, kTolerance = 16 };

struct Sample {
  int x;
  int y;
  unsigned long rgb;
};

static long long Now(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

// A window that goes away between the map and a read answers with an error; the poll
// simply reads again.
static int IgnoreErrors(Display* display, XErrorEvent* error) {
  (void)display;
  (void)error;
  return 0;
}

static int Channel(unsigned long pixel, unsigned long mask) {
  if (!mask) return 0;
  int shift = 0;
  while (!(mask & 1)) {
    mask >>= 1;
    ++shift;
  }
  return (int)(((pixel >> shift) & mask) * 255 / mask);
}

// The colour at (x, y) as 0xRRGGBB, or -1 when it cannot be read.
static long ReadRgb(Display* display, Window window, int x, int y) {
  XImage* image = XGetImage(display, window, x, y, 1, 1, AllPlanes, ZPixmap);
  if (!image) return -1;
  const unsigned long pixel = XGetPixel(image, 0, 0);
  const long rgb = (Channel(pixel, image->red_mask) << 16) | (Channel(pixel, image->green_mask) << 8) |
                   Channel(pixel, image->blue_mask);
  XDestroyImage(image);
  return rgb;
}

static int Near(long rgb, unsigned long expected) {
  for (int shift = 0; shift < 24; shift += 8) {
    const int a = (int)((rgb >> shift) & 0xFF);
    const int b = (int)((expected >> shift) & 0xFF);
    if (abs(a - b) > kTolerance) return 0;
  }
  return 1;
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: frame_watch WIDTH HEIGHT X,Y,RRGGBB [X,Y,RRGGBB ...]\n");
    return 2;
  }
  const int width = atoi(argv[1]);
  const int height = atoi(argv[2]);
  struct Sample samples[kMaxSamples];
  int count = 0;
  for (int i = 3; i < argc && count < kMaxSamples; ++i, ++count) {
    if (sscanf(argv[i], "%d,%d,%lx", &samples[count].x, &samples[count].y, &samples[count].rgb) != 3) {
      fprintf(stderr, "bad sample point: %s\n", argv[i]);
      return 2;
    }
  }
  Display* display = XOpenDisplay(NULL);
  if (!display) {
    fprintf(stderr, "cannot open the display\n");
    return 1;
  }
  XSetErrorHandler(IgnoreErrors);
  XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
  XSync(display, False);
  printf("ready\n");
  fflush(stdout);

  const long long deadline = Now() + 20LL * 1000000000LL;
  Window window = 0;
  int firstPrinted = 0;
  while (Now() < deadline) {
    while (XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
      if (window || event.type != MapNotify || event.xmap.override_redirect) continue;
      XWindowAttributes attributes;
      if (!XGetWindowAttributes(display, event.xmap.window, &attributes)) continue;
      if (attributes.width != width || attributes.height != height) continue;
      window = event.xmap.window;
      printf("map %lld\n", Now());
      fflush(stdout);
    }
    if (window) {
      int matched = 0;
      for (int i = 0; i < count; ++i) {
        const long rgb = ReadRgb(display, window, samples[i].x, samples[i].y);
        if (i == 0 && rgb >= 0 && !firstPrinted) {
          firstPrinted = 1;
          printf("first %06lx\n", (unsigned long)rgb);
        }
        if (rgb < 0 || !Near(rgb, samples[i].rgb)) break;
        ++matched;
      }
      if (matched == count) {
        printf("frame %lld\n", Now());
        XCloseDisplay(display);
        return 0;
      }
    }
    usleep(1000);
  }
  printf("timeout\n");
  XCloseDisplay(display);
  return 0;
}
