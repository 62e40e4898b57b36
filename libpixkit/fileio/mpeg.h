// MPEG input: runs the decoder program mpgfeed on a file and reads the decoded frames from its
// pipe as YUV 4:2:0 images. Used by the driver and the inspection driver for MPEG input.
#ifndef PIXKIT_FILEIO_MPEG_H
#define PIXKIT_FILEIO_MPEG_H

#include <cstdint>
#include <cstdio>
#include <functional>
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

  // What the decoder says, before its first record, that it needs at most; again before the
  // first record of pictures that need more. Of the bytes, `fixed` do not grow with pictures
  // larger than width x height (0 where it did not say them: the first frame's size counts).
  struct DecoderNeed {
    uint64_t bytes;
    int threads;
    uint64_t fixed = 0;
    int width = 0;
    int height = 0;
  };
  // Waits for the decoder to say it or to begin its records; empty when it said nothing (a
  // program in mpgfeed's place, a plain stream). Heard before the first record is read. The
  // last need heard.
  std::optional<DecoderNeed> AskDecoderNeed();
  // Called with each need the decoder says, before the record that follows it is read; the
  // decoder goes on once it returns, and does not where it throws. Empty: none.
  void SetNeedListener(std::function<void(const DecoderNeed&)> listener) {
    d_needListener = std::move(listener);
  }

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
  // The first byte of the next record, or EOF; the needs said before it are heard first.
  int NextRecordByte();
  // Reads what the decoder said of its need; closes the socket once it says no more.
  void HearNeeds();
  void CloseNeeds();

  FILE* d_pipe = nullptr;
  int d_needFd = -1;  // where the decoder says its need; -1 without a decoder or once it is done
  std::string d_needText;  // a line not yet complete
  std::optional<DecoderNeed> d_need;
  std::function<void(const DecoderNeed&)> d_needListener;
  bool d_decoder = false;  // d_pipe comes from popen
  int d_framenr = 0;
  bool d_preloaded = false;
  Image<Pixel> d_preload;
  std::string d_filename;
};

}  // namespace pixkit

#endif
