// Skimming: the stretches between keyframes whose packets say the picture
// stood still are not decoded, their frames showing the picture the
// decoding ended on; checks that the small packets did keep it still.
#include "decoding.h"

#include <algorithm>

namespace
{

// Small packets stand for a still picture only as far as the encoder makes
// them so: a light that flickers is coded in packets as small. So the first
// seconds of the first few runs of held packets, and of one in so many after
// them, are decoded after all (a light that flickers, a camera's gain or a
// lecturer shows in them as well as in the whole run, at a fraction of its
// cost), and the whole run when the picture moves in them. A
// run that does not stand still is decoded, and so are the few runs
// after it; when such runs are more than half of those checked, the video
// is decoded in full from then on. A pointer that moves now and then over a
// still slide stops no skimming; a light that keeps changing does.
constexpr int runsCheckedFirst = 3;
constexpr int runsCheckedEvery = 16;
constexpr int runsCheckedAfterMotion = 3;
// Checked runs enough to tell a pointer's moves from a light's.
constexpr int runsJudged = 8;
// Shorter runs say too little.
constexpr std::size_t leastRunChecked = 20;
// What is decoded of a run checked.
constexpr int64_t checkedSeconds = 2;

// The picture of a keyframe decoded on its own, or none: on the decoder,
// which has just been flushed at the end of a stretch and is flushed again
// for the next one (a decoder of its own would hold a second set of
// reference frames).
FramePtr decodeAlone(Decoding &decoding, const AVPacket *key)
{
    AVCodecContext *decoder = decoding.decoder.get();
    FramePtr picture;
    if (avcodec_send_packet(decoder, key) >= 0 && avcodec_send_packet(decoder, nullptr) >= 0) {
        while (avcodec_receive_frame(decoder, decoding.frame.get()) >= 0) {
            picture.reset(av_frame_alloc());
            av_frame_move_ref(picture.get(), decoding.frame.get());
            ++decoding.counts.framesDecoded;
        }
    }
    avcodec_flush_buffers(decoder);
    return picture;
}

// Whether the packets held at the end of a stretch show last: not when the
// next keyframe shows last in another light, which those small packets
// brought in. A video whose light keeps changing so is decoded in full from
// then on.
bool heldShowLast(Decoding &decoding, const AVFrame *last)
{
    if (!decoding.nextKey)
        return true;
    const FramePtr next = decodeAlone(decoding, decoding.nextKey.get());
    ++decoding.keyframesCompared;
    if (next &&
        pictureChange(pictureBlocks(last), pictureBlocks(next.get())) != KeyframeChange::Light)
        return true;
    ++decoding.lightChanges;
    if (decoding.lightChanges >= 3 && decoding.lightChanges * 3 > decoding.keyframesCompared)
        decoding.still.usable = false;
    return false;
}

// Samples the frames not sampled yet.
bool sampleUnseen(Decoding &decoding, const std::vector<FramePtr> &frames)
{
    for (const FramePtr &frame : frames) {
        if (frame->best_effort_timestamp > decoding.sampledUpTo &&
            !sampleDecoded(decoding, frame.get()))
            return false;
    }
    return true;
}

// Decodes the whole stretch again from its keyframe, for the frames the
// held packets make.
bool decodeAgain(Decoding &decoding, const std::vector<PacketPtr> &stretch)
{
    std::vector<FramePtr> frames;
    for (const PacketPtr &packet : stretch) {
        decodeInto(decoding, packet.get(), &frames);
        if (!sampleUnseen(decoding, frames))
            return false;
        frames.clear();
    }
    decodeInto(decoding, nullptr, &frames);
    avcodec_flush_buffers(decoding.decoder.get());
    return sampleUnseen(decoding, frames);
}

// Decodes what is left in the decoder; the packets of stretch from held on,
// which code no change, show the picture the decoding ended on, each at its
// own time. The decoder is then ready for a new stretch.
bool showHeld(Decoding &decoding, const std::vector<PacketPtr> &stretch, std::size_t held)
{
    std::vector<FramePtr> frames;
    decodeInto(decoding, nullptr, &frames);
    avcodec_flush_buffers(decoding.decoder.get());
    const auto shown = [](const FramePtr &a, const FramePtr &b) {
        return a->best_effort_timestamp < b->best_effort_timestamp;
    };
    const AVFrame *last = frames.empty()
                              ? decoding.lastDecoded.get()
                              : std::max_element(frames.begin(), frames.end(), shown)->get();
    if (!last || !heldShowLast(decoding, last))
        return decodeAgain(decoding, stretch);
    for (std::size_t i = held; i < stretch.size(); ++i) {
        FramePtr frame(av_frame_clone(last));
        if (!frame)
            return fail(decoding, avErrorText(AVERROR(ENOMEM)));
        frame->best_effort_timestamp = stretch[i]->pts;
        frame->pkt_duration = stretch[i]->duration;
        ++decoding.framesMade;
        frames.push_back(std::move(frame));
    }
    std::stable_sort(frames.begin(), frames.end(), shown);
    return sampleAll(decoding, frames);
}

bool checkDue(Decoding &decoding, std::size_t heldPackets)
{
    if (heldPackets < leastRunChecked)
        return false;
    ++decoding.heldRuns;
    const bool due = decoding.heldRuns <= runsCheckedFirst ||
                     decoding.heldRuns % runsCheckedEvery == 0 || decoding.checksOwed > 0;
    if (due) {
        ++decoding.runsChecked;
        decoding.checksOwed = std::max(0, decoding.checksOwed - 1);
    }
    return due;
}

// The end of the packets of a run checked, which starts at held: those of
// its first seconds.
std::size_t checkedEnd(const Decoding &decoding, const std::vector<PacketPtr> &stretch,
                       std::size_t held)
{
    const int64_t end = stretch[held]->pts +
                        av_rescale_q(checkedSeconds, AVRational{1, 1}, decoding.video.timeBase);
    std::size_t packet = held;
    while (packet < stretch.size() && stretch[packet]->pts < end)
        ++packet;
    return packet;
}

// Decodes the held packets of stretch after all: those of the run's first
// seconds, or every one once the frames they make do not all show one
// picture; then the next runs are checked too, and the skimming ends when
// such runs are most of those checked. *decoded: the end of the packets
// decoded.
bool decodeHeld(Decoding &decoding, const std::vector<PacketPtr> &stretch, std::size_t held,
                std::size_t *decoded)
{
    const std::size_t checked = checkedEnd(decoding, stretch, held);
    // Frames shown before the last one decoded (B-frames held after it) may
    // still show the picture before its change.
    int64_t from = stretch.front()->pts;
    for (std::size_t i = 0; i < held; ++i)
        from = std::max(from, stretch[i]->pts + 1);
    PictureBlocks first;
    bool seenFirst = false;
    bool still = true;
    std::vector<FramePtr> frames;
    std::size_t i = held;
    for (; i < (still ? checked : stretch.size()); ++i) {
        frames.clear();
        decodeInto(decoding, stretch[i].get(), &frames);
        for (const FramePtr &frame : frames) {
            if (frame->best_effort_timestamp < from)
                continue;
            if (!seenFirst) {
                first = pictureBlocks(frame.get());
                seenFirst = true;
            } else if (still &&
                       pictureChange(first, pictureBlocks(frame.get())) != KeyframeChange::None) {
                still = false;
            }
        }
        if (!frames.empty())
            decoding.lastDecoded.reset(av_frame_clone(frames.back().get()));
        if (!sampleAll(decoding, frames))
            return false;
    }
    *decoded = i;
    if (!still) {
        ++decoding.runsMoving;
        decoding.checksOwed = runsCheckedAfterMotion;
        if (decoding.runsChecked >= runsJudged && decoding.runsMoving * 2 > decoding.runsChecked)
            decoding.still.usable = false;
    }
    return true;
}

// A stretch starts at a keyframe (or the first packet), which is decoded.
bool startStretch(Decoding &decoding, PacketPtr packet)
{
    decoding.stretchSkimmable = decoding.still.usable && (packet->flags & AV_PKT_FLAG_KEY);
    decoding.stretch.clear();
    decoding.stretch.push_back(std::move(packet));
    decoding.sentInStretch = decoding.dueInStretch = 1;
    return decodeAndSample(decoding, decoding.stretch.back().get());
}

// At the next keyframe (or the end of the video): the packets still held
// are not decoded, or decoded after all when a check is due.
bool endStretch(Decoding &decoding)
{
    std::vector<PacketPtr> stretch = std::move(decoding.stretch);
    decoding.stretch.clear();
    std::size_t sent = decoding.sentInStretch;
    // B-frames held right after the last frame sent are shown before it:
    // they may still show the picture before its change, so they are
    // decoded, not taken to show it.
    int64_t shownLast = AV_NOPTS_VALUE;
    for (std::size_t i = 0; i < sent; ++i)
        shownLast = std::max(shownLast, stretch[i]->pts);
    for (; sent < stretch.size() && stretch[sent]->pts < shownLast; ++sent) {
        if (!decodeAndSample(decoding, stretch[sent].get()))
            return false;
    }
    if (sent == stretch.size())
        return true;
    if (!checkDue(decoding, stretch.size() - sent))
        return showHeld(decoding, stretch, sent);
    std::size_t decoded = sent;
    if (!decodeHeld(decoding, stretch, sent, &decoded))
        return false;
    return decoded == stretch.size() || showHeld(decoding, stretch, decoded);
}

} // namespace

// Takes the next packet of the stretch from the keyframe read ahead (or the
// first packet) up to the next keyframe. Packets that may change the
// picture are decoded as they come, after the smaller ones held before
// them; those still held at the end of the stretch are not decoded. A
// stretch that does not start on a keyframe, or a video whose packets
// cannot tell, is decoded in full. One packet at a time, so that the
// pictures of a long stretch are not all held at once: the packets held
// before one that may change the picture go to the decoder one a call too.
bool skimNext(Decoding &decoding)
{
    if (decoding.sentInStretch < decoding.dueInStretch)
        return decodeAndSample(decoding, decoding.stretch[decoding.sentInStretch++].get());
    PacketPtr packet = readPacket(decoding);
    if (decoding.stretch.empty())
        return packet ? startStretch(decoding, std::move(packet)) : finish(decoding);
    if (!packet || (packet->flags & AV_PKT_FLAG_KEY)) {
        decoding.nextKey = std::move(packet);
        if (!endStretch(decoding))
            return false;
        PacketPtr key = std::move(decoding.nextKey);
        return key ? startStretch(decoding, std::move(key)) : finish(decoding);
    }
    decoding.stretch.push_back(std::move(packet));
    if (decoding.stretchSkimmable && !mayChangePicture(*decoding.stretch.back(), decoding.still))
        return true;
    decoding.dueInStretch = decoding.stretch.size();
    return decodeAndSample(decoding, decoding.stretch[decoding.sentInStretch++].get());
}
