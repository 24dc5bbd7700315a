// Frames no sample can show are not decoded: at 1 frame a second from a
// video of 30, most frames are passed over by the fps filter, and those no
// other frame refers to (most B-frames) need not be decoded at all. Which
// frame a sample shows follows from the timestamps alone, so the samples
// are those of decoding every frame, byte for byte.
#include "decoding.h"

#include <algorithm>
#include <limits>

namespace
{

// The packets read last, enough to hold the frame shown next after any
// B-frame among them: an encoder sends a B-frame after the frames it lies
// between.
constexpr std::size_t ptsRemembered = 32;

// The sample a frame shown at pts falls to, rounded as the fps filter
// rounds it.
int64_t sampleNumber(const Decoding &decoding, int64_t pts)
{
    return av_rescale_q_rnd(pts, decoding.video.timeBase, AVRational{1, decoding.sampler.fps},
                            AVRounding(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
}

// Marks pts as passed over by the fps filter once it is.
void markPassable(Unsampled &unsampled, int64_t pts)
{
    if (std::find(unsampled.passable.begin(), unsampled.passable.end(), pts) ==
        unsampled.passable.end())
        unsampled.passable.push_back(pts);
}

// Decoders known to leave out, without a frame in its place, a frame no
// other refers to when asked to.
bool leavesOutUnreferenced(const AVCodecContext *decoder)
{
    return decoder->codec_id == AV_CODEC_ID_H264 || decoder->codec_id == AV_CODEC_ID_HEVC;
}

} // namespace

// The fps filter passes over a frame when the frame shown next falls to the
// same sample. Of two frames read close together in the same sample, the
// earlier shown proves it: the one shown next after it lies between them,
// so in that sample too.
void rememberRead(Decoding &decoding, const AVPacket &packet)
{
    Unsampled &unsampled = decoding.unsampled;
    if (!unsampled.enabled)
        return;
    if (packet.pts == AV_NOPTS_VALUE) {
        unsampled.enabled = false;
        return;
    }
    const int64_t sample = sampleNumber(decoding, packet.pts);
    for (const int64_t read : unsampled.recentPts) {
        if (read != packet.pts && sampleNumber(decoding, read) == sample)
            markPassable(unsampled, std::min(read, packet.pts));
    }
    unsampled.recentPts.push_back(packet.pts);
    if (unsampled.recentPts.size() > ptsRemembered)
        unsampled.recentPts.pop_front();
}

void chooseDiscard(Decoding &decoding, const AVPacket *packet)
{
    Unsampled &unsampled = decoding.unsampled;
    AVCodecContext *decoder = decoding.decoder.get();
    const bool leaveOut = packet && unsampled.enabled && leavesOutUnreferenced(decoder) &&
                          !(packet->flags & AV_PKT_FLAG_KEY) &&
                          std::find(unsampled.passable.begin(), unsampled.passable.end(),
                                    packet->pts) != unsampled.passable.end();
    decoder->skip_frame = leaveOut ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    if (leaveOut)
        unsampled.mayBeLeftOut.push_back(packet->pts);
}

void noteDecoded(Decoding &decoding, const AVFrame *frame)
{
    Unsampled &unsampled = decoding.unsampled;
    // A frame whose timestamp is not its packet's is timed by guesswork,
    // which the reasoning above cannot follow.
    if (frame->best_effort_timestamp != frame->pts)
        unsampled.enabled = false;
    // Frames come out in the order shown: a frame that may have been left
    // out and is shown before this one was.
    const auto shown = std::remove_if(unsampled.passable.begin(), unsampled.passable.end(),
                                      [&](int64_t pts) { return pts <= frame->pts; });
    unsampled.passable.erase(shown, unsampled.passable.end());
    std::vector<int64_t> &pending = unsampled.mayBeLeftOut;
    const auto end = std::remove_if(pending.begin(), pending.end(), [&](int64_t pts) {
        if (pts < frame->pts)
            ++unsampled.leftOut;
        return pts <= frame->pts;
    });
    pending.erase(end, pending.end());
}

void noteDecoderEmpty(Decoding &decoding)
{
    decoding.unsampled.leftOut += qint64(decoding.unsampled.mayBeLeftOut.size());
    decoding.unsampled.mayBeLeftOut.clear();
}
