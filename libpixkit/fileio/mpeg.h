// MPEG input: runs the decoder program mpgfeed on a file and reads the decoded frames from its
// pipe as YUV 4:2:0 images. Used by the driver and the inspection driver for MPEG input.
#ifndef PIXKIT_FILEIO_MPEG_H
#define PIXKIT_FILEIO_MPEG_H

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "libpixkit/graphics/datatypes/image.h"

namespace pixkit {

class FileReader_MPEG {
 public:
  FileReader_MPEG() = default;
  ~FileReader_MPEG();
  FileReader_MPEG(const FileReader_MPEG&) = delete;
  FileReader_MPEG& operator=(const FileReader_MPEG&) = delete;

  // Starts the decoder on the file. Throws Excpt_Text when no process can be started at all;
  // a decoder that fails later is reported when the end of its stream is reached.
  void Open(const char* filename);
  // Reads records from a stream that is already open instead of a decoder's pipe, so that the
  // record reading can be tested and fuzzed without a process. The reader takes the stream and
  // closes it with fclose; its end counts as a clean end. name only appears in messages.
  void OpenStream(FILE* stream, const char* name);

  // Reads the next frame ahead to answer; throws Excpt_Text when the stream ends because the
  // decoder failed.
  bool IsEOF();
  // True when a frame was delivered. A frame that went through IsEOF arrives in planes of its
  // own (those of the frame handed out before, once nobody holds them); otherwise it is read
  // into img, re-created only when it does not match the frame.
  bool ReadImage(Image<Pixel>& img);
  void SkipToImage(int n);
  const std::string& AskFileName() const { return d_filename; }

  // What the decoder says, before its first record, that it needs at most.
  struct DecoderNeed {
    uint64_t bytes;
    int threads;
  };
  // Waits for the decoder to say it or to begin its records; empty when it said nothing (a
  // program in mpgfeed's place, a plain stream). Heard before the first record is read.
  std::optional<DecoderNeed> AskDecoderNeed();

  // The decoder's threads: one per core that the process may run on, counted as the FFmpeg
  // libraries count them (av_cpu_count), and no more than c_MaxDecoderThreads. mpgfeed follows
  // the same rule, with a cap of the same name and value, on the cores it inherits from here.
  static constexpr int c_MaxDecoderThreads = 16;
  static int AskDecoderThreads();
  // The memory a decoder that says nothing is taken to need at most for pictures of width x
  // height on the given number of threads: its reference pictures, its threads' pictures and
  // tables, its colour conversion and the libraries' own.
  static uint64_t AskDecoderMemory(int width, int height, int threads);

 private:
  bool ReadFrameFromPipe(Image<Pixel>& img);
  // Closes the pipe at the end of the stream and throws when the decoder did not succeed;
  // otherwise warns when the stream was cut inside a record.
  void EndOfStream(bool cut);
  // Closes the pipe or stream; the decoder's wait status, or 0 for a plain stream.
  int ClosePipe();
  std::optional<DecoderNeed> ReadDecoderNeed();

  FILE* d_pipe = nullptr;
  int d_needFd = -1;  // where the decoder says its need; -1 once heard or without a decoder
  std::optional<DecoderNeed> d_need;
  bool d_decoder = false;  // d_pipe comes from popen
  int d_framenr = 0;
  bool d_preloaded = false;
  Image<Pixel> d_preload;
  std::string d_filename;
};

}  // namespace pixkit

#endif
