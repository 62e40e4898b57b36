// The allocations that failed anywhere in the decoder program, the FFmpeg libraries' and their
// threads' included. Decoders report many of them as damaged data: the count tells memory that
// ran out from damage.
#ifndef TOOLS_MPGFEED_ALLOCATIONS_H
#define TOOLS_MPGFEED_ALLOCATIONS_H

namespace mpgfeed {

// Failed allocations since the start or the last reset.
long FailedAllocations();
void ResetFailedAllocations();

}  // namespace mpgfeed

#endif
