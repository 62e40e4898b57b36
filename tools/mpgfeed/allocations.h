// The allocations that failed anywhere in the decoder program, the FFmpeg libraries' and their
// threads' included. Decoders report many of them as damaged data: the count tells memory that
// ran out from damage. Each failure is the decoder's, where it comes within a call into the
// decoder (DecoderCall) or on a thread made within one, or not: the demuxer's, the reader's, the
// colour conversion's. A thread's failures count as those of the code that made it.
#ifndef TOOLS_MPGFEED_ALLOCATIONS_H
#define TOOLS_MPGFEED_ALLOCATIONS_H

namespace mpgfeed {

// Failed allocations since the start: the decoder's since the last reset, and all the others.
long FailedAllocations();
// Those that were not the decoder's: nothing forgets them.
long FailedAllocationsOutsideTheDecoder();
// The decoder starts again: its earlier failures are gone with it.
void ResetDecoderFailedAllocations();

// While it lives, what fails to allocate on the calling thread, or on the threads it makes, is
// the decoder's.
class DecoderCall {
 public:
  DecoderCall();
  ~DecoderCall();
  DecoderCall(const DecoderCall&) = delete;
  DecoderCall& operator=(const DecoderCall&) = delete;

 private:
  bool d_previous;
};

}  // namespace mpgfeed

#endif
