// The client-side picture behind one window, in the pixel layout of the window's visual,
// and the means to put it on the window. It uses the first way the server offers: a YV12
// XVideo image in shared memory, an XImage in shared memory (MIT-SHM), or a plain XImage.
#ifndef PIXKIT_X11_DISPIMG_H
#define PIXKIT_X11_DISPIMG_H

#include <cstdint>
#include <memory>

struct _XImage;
typedef struct _XImage XImage;

namespace pixkit {

class X11Server;
struct DisplayImage_Data;

// Where the server wants the planes of the YV12 image, in their order in memory: 0 is Y,
// 1 is V, 2 is U. The chroma planes have half the width and height of the luma plane.
struct YV12Planes {
  uint8_t* data[3];
  int pitch[3];
};

class DisplayImage_X11 {
 public:
  DisplayImage_X11();
  ~DisplayImage_X11();
  DisplayImage_X11(const DisplayImage_X11&) = delete;
  DisplayImage_X11& operator=(const DisplayImage_X11&) = delete;

  // Both wanted by default; they act on a later Create. XVideo needs shared memory too.
  void UseMITSHM(bool use);
  void UseXv(bool use);
  bool UsesXv() const;

  // Makes the image for the window: w columns (rounded up to 16 in memory) and h rows. A null
  // server means the shared default connection. Does nothing once created. Throws Excpt_Text
  // when the X connection cannot be opened or a plain image cannot be made; the object then
  // stays as it was.
  void Create(int w, int h, unsigned long window, X11Server* server);

  XImage& AskXImage();               // only without an XVideo image
  void* AskXvImage();                // the XvImage; only with one
  const YV12Planes& AskYV12Planes();  // only with an XVideo image

  // Puts the rectangle (srcx, srcy, w, h) of the image at (dstx, dsty) of the window; a w or h
  // of 0 stands for the width or height given to Create.
  void PutImage(int srcx, int srcy, int w, int h, int dstx, int dsty);

 private:
  void Release();

  std::unique_ptr<DisplayImage_Data> d_data;
};

}  // namespace pixkit

#endif
