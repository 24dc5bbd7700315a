// The state of one decoding of a video, shared by the decoding frame by
// frame (source.cpp) and the skimming of the stretches between keyframes
// (stretch.cpp).
#pragma once

#include "decode.h"
#include "decode_internal.h"

#include <deque>
#include <vector>

// Frames left out of the decoding because no sample can show them.
struct Unsampled {
    bool enabled = false;
    std::deque<int64_t> recentPts;     // of the packets read last
    std::vector<int64_t> passable;     // of packets whose frames no sample shows
    std::vector<int64_t> mayBeLeftOut; // packets sent to be left out unless referred to
    qint64 leftOut = 0;                // frames the decoder left out
};

struct Decoding {
    VideoInput video;
    DecoderPtr decoder;
    Sampler sampler;
    PacketPtr packet{av_packet_alloc()};
    FramePtr frame{av_frame_alloc()};
    std::deque<QImage> pictures;
    DecodeFailure *failure = nullptr;
    DecodeCounts counts;
    DecodeCounts *countsOut = nullptr;
    bool ended = false;
    bool failed = false;
    // ffmpeg's clock of the stream, in AV_TIME_BASE: the end of the last
    // frame decoded, where the frames end for the fps filter.
    int64_t nextPts = 0;
    qint64 framesMade = 0;
    qint64 decodeErrors = 0;
    qint64 framesTimed = 0; // decoded frames that carried a timestamp
    Unsampled unsampled;

    // Skimming only.
    bool skim = false;
    StillPackets still;
    PacketPtr nextKey;              // the keyframe that starts the next stretch, read ahead
    std::vector<PacketPtr> stretch; // the packets of the stretch read so far
    std::size_t sentInStretch = 0;  // of them, those sent to the decoder
    std::size_t dueInStretch = 0;   // and those to be sent, one a call
    bool stretchSkimmable = false;
    FramePtr lastDecoded;                 // the frame the decoder made last
    int64_t sampledUpTo = AV_NOPTS_VALUE; // the latest frame sampled
    int keyframesCompared = 0;
    int lightChanges = 0;
    int heldRuns = 0;    // runs of held packets at the ends of stretches
    int runsChecked = 0; // of them, those decoded after all
    int runsMoving = 0;  // of those, the ones that did not stand still
    int checksOwed = 0;  // runs to check after one that did not
};

// Records why the decoding failed; false.
bool fail(Decoding &decoding, const QString &reason);

// Hands a decoded frame to the fps filter with the timestamp ffmpeg gives
// it.
bool sampleDecoded(Decoding &decoding, AVFrame *frame);

// Sends packet (none: the end of the stream) to the decoder and takes every
// frame it makes into *frames. A packet that cannot be decoded is passed
// over, as ffmpeg passes over it.
void decodeInto(Decoding &decoding, const AVPacket *packet, std::vector<FramePtr> *frames);

// Samples frames, in the order given.
bool sampleAll(Decoding &decoding, const std::vector<FramePtr> &frames);

// Sends packet to the decoder and samples the frames it makes; the last
// one is kept, for the packets that follow it unchanged.
bool decodeAndSample(Decoding &decoding, const AVPacket *packet);

// The next packet of the video, or none at its end.
PacketPtr readPacket(Decoding &decoding);

// Ends the decoding at the end of the video: what the decoder still holds,
// the last pictures, and the failure when too many packets could not be
// decoded.
bool finish(Decoding &decoding);

// Skims on: takes the next packet of the stretch that ends at the next
// keyframe (see stretch.cpp).
bool skimNext(Decoding &decoding);

// Remembers the timestamp of a packet read.
void rememberRead(Decoding &decoding, const AVPacket &packet);

// Before packet (none: the end) goes to the decoder: asks the decoder to
// leave its frame out when no sample can show it and no frame refers to it.
void chooseDiscard(Decoding &decoding, const AVPacket *packet);

// After the decoder made frame: counts the frames it left out before it.
void noteDecoded(Decoding &decoding, const AVFrame *frame);

// After the decoder was drained or flushed: what it did not make it left out.
void noteDecoderEmpty(Decoding &decoding);
