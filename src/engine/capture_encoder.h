// The encoder steps of a compressed capture run: captured PCM (and marker tones) go through the
// conversion set's encode stream, and what comes out is delivered like any recorded data
// (EmitData) at the write position.  Codec-specific needs of the encoder path live here too.
//
// Engine thread only, during a run, and only while compressed is set.
#pragma once

#include <cstdint>

#include "core/recorder.h"

namespace voxl {

// Start of a compressed run, before the device opens: opens the conversion streams, empties the
// encoder's buffers, asks for the start of a stream, and in an existing MPEG Layer-3 file moves
// the write position onto a frame header.
void StartEncoder(Recorder& r);

// Encodes `bytes` of captured PCM, behind whatever an earlier call left unconsumed in the source
// buffer, in pcmBlockBytes pieces, and delivers the output, counting its frames as recorded.
// Ends the run with ErrCaptureWrite when the output cannot be stored whole, or when the encoder
// takes nothing from a full source buffer.
void EncodeAndDeliver(Recorder& r, const uint8_t* data, uint32_t bytes);

// One piece of a marker tone: feeds `bytes` of PCM tone through the encoder and delivers the
// whole blocks that come out (not counted as recorded frames).  The first piece of a tone
// discards what captured audio the source buffer still held; the last piece of a final tone ends
// the encoder's stream.  False when the output could not be stored whole, or the encoder takes
// nothing from a full source buffer.
bool EncodeTonePiece(Recorder& r, const uint8_t* tone, uint32_t bytes, bool firstPiece,
                     bool lastPiece, bool final);

// End of a compressed run: encodes what is left in the source buffer, then flushes the encoder
// (ending its stream unless the end tone still follows) and delivers the output.
void EmptyEncoder(Recorder& r);

}  // namespace voxl
