// Display images: YV12 XVideo or MIT-SHM images in System V shared memory, and the plain
// XImage that every server takes. A shared-memory attachment that the server refuses (as one
// on another host does) is caught while it happens and the plain image takes its place.
#include "libpixkit/x11/dispimg.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xvlib.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>

#include "libpixkit/utility/error.h"
#include "libpixkit/utility/math.h"
#include "libpixkit/x11/server.h"

namespace pixkit {

struct DisplayImage_Data {
  bool d_use_shm = true;
  bool d_use_xv = true;
  bool d_initialized = false;
  Display* d_display = nullptr;
  X11ServerConnection* d_server = nullptr;
  bool d_shm_in_use = false;
  Window d_win = 0;
  GC d_gc = nullptr;
  XImage* d_ximg = nullptr;
  XvImage* d_xvimg = nullptr;
  XvPortID d_xvport = 0;
  bool d_port_grabbed = false;
  char* d_imagedata = nullptr;
  XShmSegmentInfo d_shminfo = {};
  int d_width = 0;
  int d_height = 0;

  std::unique_ptr<char[]> d_plain_memory;  // the buffer of the plain image
  YV12Planes d_yv12 = {};                  // the XvImage's planes as the server lays them out
};

namespace {

constexpr int c_FourCC_YV12 = 0x32315659;
constexpr int c_MinorShmAttach = 1;

// Only meaningful while ShmAttachErrorHandler is installed.
int s_shm_opcode = 0;
bool s_shm_attach_failed = false;

// Swallows every X error; notes the one of an MIT-SHM attach request.
int ShmAttachErrorHandler(Display*, XErrorEvent* ev) {
  if (ev->request_code == s_shm_opcode && ev->minor_code == c_MinorShmAttach)
    s_shm_attach_failed = true;
  return 0;
}

bool HasYV12Format(Display* display, XvPortID port) {
  int count = 0;
  XvImageFormatValues* formats = XvListImageFormats(display, port, &count);
  bool found = false;
  for (int i = 0; i < count && !found; i++)
    found = formats[i].id == c_FourCC_YV12 && memcmp(formats[i].guid, "YV12", 5) == 0;
  if (formats) XFree(formats);
  return found;
}

// Grabs the first image port that takes YV12, on a server with XVideo 2.2 or later.
bool FindXvPort(DisplayImage_Data& d, XvPortID& port) {
  unsigned int version, revision, request_base, event_base, error_base;
  if (XvQueryExtension(d.d_display, &version, &revision, &request_base, &event_base,
                       &error_base) != Success)
    return false;
  if (version < 2 || (version == 2 && revision < 2)) return false;

  unsigned int count = 0;
  XvAdaptorInfo* adaptors = nullptr;
  if (XvQueryAdaptors(d.d_display, d.d_win, &count, &adaptors) != Success) return false;
  for (unsigned int a = 0; a < count; a++) {
    if (!(adaptors[a].type & XvImageMask) || adaptors[a].num_ports == 0) continue;
    for (XvPortID p = adaptors[a].base_id; p < adaptors[a].base_id + adaptors[a].num_ports; p++) {
      if (HasYV12Format(d.d_display, p) && XvGrabPort(d.d_display, p, CurrentTime) == Success) {
        port = p;
        d.d_port_grabbed = true;
        XvFreeAdaptorInfo(adaptors);
        return true;
      }
    }
  }
  if (adaptors) XvFreeAdaptorInfo(adaptors);
  return false;
}

void MakePlainImage(DisplayImage_Data& d, Visual* visual, int depth) {
  d.d_ximg = XCreateImage(d.d_display, visual, unsigned(depth), ZPixmap, 0, nullptr,
                          unsigned(AlignUp(d.d_width, 16)), unsigned(d.d_height), 32, 0);
  if (!d.d_ximg) throw Excpt_Text(ErrSev_Error, "cannot create X image");
  const size_t row = size_t(d.d_ximg->bytes_per_line);
  if (row != 0 && size_t(d.d_height) > SIZE_MAX / row)
    throw Excpt_Text(ErrSev_Error, "cannot allocate memory for X image");
  d.d_plain_memory.reset(new (std::nothrow) char[row * size_t(d.d_height)]);
  if (!d.d_plain_memory) throw Excpt_Text(ErrSev_Error, "cannot allocate memory for X image");
  d.d_imagedata = d.d_plain_memory.get();
  d.d_ximg->data = d.d_imagedata;
}

// Makes the shared-memory image and attaches its segment to the server. Returns false when
// the server refused the attachment; everything of the segment is then released again.
bool MakeSharedImage(DisplayImage_Data& d, Visual* visual, int depth) {
  // A segment for which there is no room (in a 32-bit address space, say) leaves nothing
  // behind that Release would have to detach.
  const auto outOfMemory = [&d] {
    if (d.d_ximg) XDestroyImage(d.d_ximg);  // frees only the record of a shared image
    if (d.d_xvimg) XFree(d.d_xvimg);
    d.d_ximg = nullptr;
    d.d_xvimg = nullptr;
    d.d_shminfo = {};
    d.d_shm_in_use = false;
    throw std::bad_alloc();
  };
  const int w = AlignUp(d.d_width, 16), h = d.d_height;
  size_t size;
  XvPortID port;
  if (d.d_use_xv && FindXvPort(d, port)) {
    d.d_xvport = port;
    d.d_xvimg = XvShmCreateImage(d.d_display, port, c_FourCC_YV12, nullptr, w, h, &d.d_shminfo);
    assert(d.d_xvimg);
    size = size_t(d.d_xvimg->data_size);
  } else {
    d.d_ximg = XShmCreateImage(d.d_display, visual, unsigned(depth), ZPixmap, nullptr,
                               &d.d_shminfo, unsigned(w), unsigned(h));
    assert(d.d_ximg);
    const size_t row = size_t(d.d_ximg->bytes_per_line);
    if (row != 0 && size_t(h) > SIZE_MAX / row) outOfMemory();
    size = size_t(h) * row;
  }

  // The server attaches read-only; "others may read" lets it do so even when it cannot learn
  // who we are.
  d.d_shminfo.shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0604);
  if (d.d_shminfo.shmid == -1) {
    if (errno == ENOMEM || errno == ENOSPC || errno == EINVAL) outOfMemory();
    perror("shmget failed: ");
    assert(0);
  }
  d.d_shminfo.shmaddr = static_cast<char*>(shmat(d.d_shminfo.shmid, nullptr, 0));
  if (d.d_shminfo.shmaddr == reinterpret_cast<char*>(-1)) {
    if (errno == ENOMEM) {
      shmctl(d.d_shminfo.shmid, IPC_RMID, nullptr);
      outOfMemory();
    }
    perror("shmat failed: ");
    assert(0);
  }
  if (d.d_ximg) d.d_ximg->data = d.d_shminfo.shmaddr;
  if (d.d_xvimg) d.d_xvimg->data = d.d_shminfo.shmaddr;
  d.d_shminfo.readOnly = True;

  // A refused attachment arrives as an X error; catch it here instead of ending the process.
  int event_base, error_base;
  XQueryExtension(d.d_display, "MIT-SHM", &s_shm_opcode, &event_base, &error_base);
  s_shm_attach_failed = false;
  XSetErrorHandler(ShmAttachErrorHandler);
  const Status status = XShmAttach(d.d_display, &d.d_shminfo);
  XSync(d.d_display, False);
  XSetErrorHandler(nullptr);
  shmctl(d.d_shminfo.shmid, IPC_RMID, nullptr);  // gone once both sides have detached
  assert(status != 0);

  if (s_shm_attach_failed) {
    std::cerr << "MIT-SHM failed, falling back to network mode.\n";
    if (d.d_ximg) XDestroyImage(d.d_ximg);  // frees only the record of a shared image
    if (d.d_xvimg) XFree(d.d_xvimg);
    d.d_ximg = nullptr;
    d.d_xvimg = nullptr;
    shmdt(d.d_shminfo.shmaddr);
    shmctl(d.d_shminfo.shmid, IPC_RMID, nullptr);
    d.d_shminfo = {};
    return false;
  }
  d.d_imagedata = d.d_shminfo.shmaddr;

  if (d.d_xvimg) {
    assert(d.d_xvimg->num_planes == 3);
    for (int i = 0; i < 3; i++) {
      d.d_yv12.data[i] = reinterpret_cast<uint8_t*>(d.d_imagedata) + d.d_xvimg->offsets[i];
      d.d_yv12.pitch[i] = d.d_xvimg->pitches[i];
    }
  }
  return true;
}

}  // namespace

DisplayImage_X11::DisplayImage_X11() : d_data(std::make_unique<DisplayImage_Data>()) {}

DisplayImage_X11::~DisplayImage_X11() { Release(); }

void DisplayImage_X11::UseMITSHM(bool use) { d_data->d_use_shm = use; }
void DisplayImage_X11::UseXv(bool use) { d_data->d_use_xv = use; }
bool DisplayImage_X11::UsesXv() const { return d_data->d_xvimg != nullptr; }

void DisplayImage_X11::Create(int w, int h, unsigned long window, X11Server* server) {
  DisplayImage_Data& d = *d_data;
  if (d.d_initialized) return;
  PIXKIT_ASSERT(w > 0 && w <= INT_MAX - 15);
  PIXKIT_ASSERT(h > 0);

  d.d_xvimg = nullptr;
  d.d_ximg = nullptr;
  d.d_width = w;
  d.d_height = h;
  d.d_server = server ? new X11ServerConnection(server) : new X11ServerConnection;
  d.d_display = d.d_server->AskDisplay();
  d.d_win = window;

  XWindowAttributes attributes;
  XGetWindowAttributes(d.d_display, d.d_win, &attributes);
  XVisualInfo wanted = {};
  wanted.visualid = XVisualIDFromVisual(attributes.visual);
  int nvinfos = 0;
  XVisualInfo* vinfo = XGetVisualInfo(d.d_display, VisualIDMask, &wanted, &nvinfos);
  assert(vinfo != nullptr);
  assert(nvinfos==1);

  d.d_gc = XCreateGC(d.d_display, d.d_win, 0, nullptr);

  int major, minor, opcode, event_base, error_base;
  Bool pixmaps;
  d.d_shm_in_use = d.d_use_shm && XShmQueryExtension(d.d_display) &&
                   XShmQueryVersion(d.d_display, &major, &minor, &pixmaps) &&
                   XQueryExtension(d.d_display, "MIT-SHM", &opcode, &event_base, &error_base);
  try {
    if (d.d_shm_in_use && !MakeSharedImage(d, vinfo->visual, vinfo->depth))
      d.d_shm_in_use = false;
    if (!d.d_shm_in_use) MakePlainImage(d, vinfo->visual, vinfo->depth);
  } catch (...) {
    XFree(vinfo);
    Release();
    throw;
  }

  XSync(d.d_display, False);
  XFree(vinfo);
  d.d_initialized = true;
}

XImage& DisplayImage_X11::AskXImage() {
  assert(d_data->d_ximg);
  return *d_data->d_ximg;
}

void* DisplayImage_X11::AskXvImage() {
  assert(d_data->d_xvimg);
  return d_data->d_xvimg;
}

const YV12Planes& DisplayImage_X11::AskYV12Planes() {
  assert(d_data->d_xvimg);
  return d_data->d_yv12;
}

void DisplayImage_X11::PutImage(int srcx, int srcy, int w, int h, int dstx, int dsty) {
  DisplayImage_Data& d = *d_data;
  if (w == 0) w = d.d_width;
  if (h == 0) h = d.d_height;
  if (d.d_xvimg) {
    XvShmPutImage(d.d_display, d.d_xvport, d.d_win, d.d_gc, d.d_xvimg, srcx, srcy, unsigned(w),
                  unsigned(h), dstx, dsty, unsigned(w), unsigned(h), True);
  } else if (!d.d_shm_in_use) {
    XPutImage(d.d_display, d.d_win, d.d_gc, d.d_ximg, srcx, srcy, dstx, dsty, unsigned(w),
              unsigned(h));
  } else {
    XShmPutImage(d.d_display, d.d_win, d.d_gc, d.d_ximg, srcx, srcy, dstx, dsty, unsigned(w),
                 unsigned(h), True);
  }
  XFlush(d.d_display);
}

// Also cleans up after a Create that failed half-way: whatever exists is released.
void DisplayImage_X11::Release() {
  DisplayImage_Data& d = *d_data;
  if (!d.d_server) return;
  if (d.d_shm_in_use) {
    XShmDetach(d.d_display, &d.d_shminfo);
    if (d.d_ximg) XDestroyImage(d.d_ximg);
    if (d.d_xvimg) XFree(d.d_xvimg);
    shmdt(d.d_shminfo.shmaddr);
    shmctl(d.d_shminfo.shmid, IPC_RMID, nullptr);
  } else if (d.d_ximg) {
    d.d_ximg->data = nullptr;  // the buffer is ours, not Xlib's
    XDestroyImage(d.d_ximg);
  }
  d.d_plain_memory.reset();
  if (d.d_gc) XFreeGC(d.d_display, d.d_gc);
  if (d.d_port_grabbed) XvUngrabPort(d.d_display, d.d_xvport, CurrentTime);
  delete d.d_server;

  const bool use_shm = d.d_use_shm, use_xv = d.d_use_xv;
  d = DisplayImage_Data();
  d.d_use_shm = use_shm;
  d.d_use_xv = use_xv;
}

}  // namespace pixkit
