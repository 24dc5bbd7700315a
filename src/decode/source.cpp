#include "decode.h"
#include "decode_internal.h"

#include <QObject>

#include <algorithm>

namespace
{

// ffmpeg ends a run whose decoding failed more often than this share of the
// times it was tried (its -max_error_rate).
constexpr double largestErrorShare = 2.0 / 3.0;

// Small packets stand for a still picture only as far as the encoder makes
// them so: a light that flickers is coded in packets as small. So the first
// few runs of held packets, and one in so many after them, are decoded after
// all. A run that does not stand still is decoded, and so are the few runs
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

    // Skimming only.
    bool skim = false;
    StillPackets still;
    PacketPtr nextKey;              // the keyframe that starts the next stretch, read ahead
    std::vector<PacketPtr> stretch; // the packets of the stretch read so far
    std::size_t sentInStretch = 0;  // of them, those sent to the decoder
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

bool fail(Decoding &decoding, const QString &reason)
{
    decoding.failure->reason = reason;
    decoding.failed = true;
    return false;
}

// The frame's share of the stream's clock, as ffmpeg counts it.
int64_t frameDuration(const Decoding &decoding, const AVFrame *frame)
{
    if (frame->pkt_duration > 0)
        return av_rescale_q(frame->pkt_duration, decoding.video.timeBase, av_get_time_base_q());
    const AVRational rate = decoding.decoder->framerate;
    return rate.num > 0 && rate.den > 0 ? int64_t(AV_TIME_BASE) * rate.den / rate.num : 0;
}

// A decoded frame goes to the fps filter with the timestamp ffmpeg gives it.
bool sampleDecoded(Decoding &decoding, AVFrame *frame)
{
    const int64_t timestamp = frame->best_effort_timestamp;
    if (timestamp != AV_NOPTS_VALUE) {
        frame->pts = timestamp;
        decoding.sampledUpTo = std::max(decoding.sampledUpTo, timestamp);
        decoding.nextPts = av_rescale_q(timestamp, decoding.video.timeBase, av_get_time_base_q());
    }
    decoding.nextPts += frameDuration(decoding, frame);
    QString failure;
    if (!sampleFrame(decoding.sampler, frame, &decoding.pictures, &failure))
        return fail(decoding, failure);
    return true;
}

// Sends packet (none: the end of the stream) to the decoder and takes every
// frame it makes into *frames. A packet that cannot be decoded is passed
// over, as ffmpeg passes over it.
void decodeInto(Decoding &decoding, const AVPacket *packet, std::vector<FramePtr> *frames)
{
    AVCodecContext *decoder = decoding.decoder.get();
    int error = avcodec_send_packet(decoder, packet);
    if (error < 0 && error != AVERROR_EOF)
        ++decoding.decodeErrors;
    for (;;) {
        error = avcodec_receive_frame(decoder, decoding.frame.get());
        if (error == AVERROR(EAGAIN) || error == AVERROR_EOF)
            return;
        if (error < 0) {
            ++decoding.decodeErrors;
            return;
        }
        ++decoding.framesMade;
        ++decoding.counts.framesDecoded;
        FramePtr frame(av_frame_alloc());
        av_frame_move_ref(frame.get(), decoding.frame.get());
        frames->push_back(std::move(frame));
    }
}

bool sampleAll(Decoding &decoding, const std::vector<FramePtr> &frames)
{
    for (const FramePtr &frame : frames) {
        if (!sampleDecoded(decoding, frame.get()))
            return false;
    }
    return true;
}

bool decodePacket(Decoding &decoding, const AVPacket *packet)
{
    std::vector<FramePtr> frames;
    decodeInto(decoding, packet, &frames);
    return sampleAll(decoding, frames);
}

bool finish(Decoding &decoding)
{
    if (!decodePacket(decoding, nullptr))
        return false;
    decoding.ended = true;
    if (double(decoding.decodeErrors) >
        largestErrorShare * double(decoding.decodeErrors + decoding.framesMade))
        return fail(decoding, QObject::tr("%1 of %2 frames could not be decoded")
                                  .arg(decoding.decodeErrors)
                                  .arg(decoding.decodeErrors + decoding.framesMade));
    const int64_t end =
        av_rescale_q_rnd(decoding.nextPts, av_get_time_base_q(), decoding.video.timeBase,
                         AVRounding(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
    QString failure;
    if (!finishSampling(decoding.sampler, end, &decoding.pictures, &failure))
        return fail(decoding, failure);
    if (decoding.countsOut)
        *decoding.countsOut = decoding.counts;
    return true;
}

// Reads the next packet and decodes it.
bool decodeNext(Decoding &decoding)
{
    if (!readVideoPacket(decoding.video, decoding.packet.get()))
        return finish(decoding);
    ++decoding.counts.framesInVideo;
    return decodePacket(decoding, decoding.packet.get());
}

// The next packet of the video, or none at its end.
PacketPtr readPacket(Decoding &decoding)
{
    if (!readVideoPacket(decoding.video, decoding.packet.get()))
        return nullptr;
    ++decoding.counts.framesInVideo;
    PacketPtr packet(av_packet_alloc());
    av_packet_move_ref(packet.get(), decoding.packet.get());
    return packet;
}

// Sends packet to the decoder and samples the frames it makes; the last
// one is kept, for the packets that follow it unchanged.
bool decodeAndSample(Decoding &decoding, const AVPacket *packet)
{
    std::vector<FramePtr> frames;
    decodeInto(decoding, packet, &frames);
    if (!frames.empty())
        decoding.lastDecoded.reset(av_frame_clone(frames.back().get()));
    return sampleAll(decoding, frames);
}

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
    if (next && keyframeChange(last, next.get()) != KeyframeChange::Light)
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

// Decodes the held packets of stretch after all, and ends the skimming when
// the frames they make do not all show one picture.
bool decodeHeld(Decoding &decoding, const std::vector<PacketPtr> &stretch, std::size_t held)
{
    // Frames shown before the last one decoded (B-frames held after it) may
    // still show the picture before its change.
    int64_t from = stretch.front()->pts;
    for (std::size_t i = 0; i < held; ++i)
        from = std::max(from, stretch[i]->pts + 1);
    FramePtr first;
    bool still = true;
    std::vector<FramePtr> frames;
    for (std::size_t i = held; i < stretch.size(); ++i) {
        frames.clear();
        decodeInto(decoding, stretch[i].get(), &frames);
        for (const FramePtr &frame : frames) {
            if (frame->best_effort_timestamp < from)
                continue;
            if (!first)
                first.reset(av_frame_clone(frame.get()));
            else if (keyframeChange(first.get(), frame.get()) != KeyframeChange::None)
                still = false;
        }
        if (!frames.empty())
            decoding.lastDecoded.reset(av_frame_clone(frames.back().get()));
        if (!sampleAll(decoding, frames))
            return false;
    }
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
    decoding.sentInStretch = 1;
    return decodeAndSample(decoding, decoding.stretch.back().get());
}

// At the next keyframe (or the end of the video): the packets still held
// are not decoded, or decoded after all when a check is due.
bool endStretch(Decoding &decoding)
{
    std::vector<PacketPtr> stretch = std::move(decoding.stretch);
    decoding.stretch.clear();
    const std::size_t sent = decoding.sentInStretch;
    if (sent == stretch.size())
        return true;
    if (checkDue(decoding, stretch.size() - sent))
        return decodeHeld(decoding, stretch, sent);
    return showHeld(decoding, stretch, sent);
}

// Takes the next packet of the stretch from the keyframe read ahead (or the
// first packet) up to the next keyframe. Packets that may change the
// picture are decoded as they come, after the smaller ones held before
// them; those still held at the end of the stretch are not decoded. A
// stretch that does not start on a keyframe, or a video whose packets
// cannot tell, is decoded in full. One packet at a time, so that the
// pictures of a long stretch are not all held at once.
bool skimNext(Decoding &decoding)
{
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
    for (; decoding.sentInStretch < decoding.stretch.size(); ++decoding.sentInStretch) {
        if (!decodeAndSample(decoding, decoding.stretch[decoding.sentInStretch].get()))
            return false;
    }
    return true;
}

std::optional<QImage> takePicture(Decoding &decoding)
{
    while (decoding.pictures.empty() && !decoding.ended && !decoding.failed) {
        if (decoding.skim)
            skimNext(decoding);
        else
            decodeNext(decoding);
    }
    if (!decoding.pictures.empty()) {
        QImage picture = std::move(decoding.pictures.front());
        decoding.pictures.pop_front();
        return picture;
    }
    if (decoding.failed)
        return QImage();
    return std::nullopt;
}

} // namespace

FrameSource decodedFrames(const QString &input, int fps, bool skim, DecodeFailure *failure,
                          DecodeCounts *counts)
{
    auto decoding = std::make_shared<Decoding>();
    decoding->failure = failure;
    decoding->countsOut = counts;
    QString reason;
    if (!openVideo(input, &decoding->video, &reason) ||
        !(decoding->decoder = openDecoder(decoding->video, &reason))) {
        fail(*decoding, reason);
    } else {
        AVStream *stream = decoding->video.format->streams[decoding->video.stream];
        decoding->sampler.fps = fps;
        decoding->sampler.timeBase = decoding->video.timeBase;
        decoding->sampler.frameRate =
            av_guess_frame_rate(decoding->video.format.get(), stream, nullptr);
        if (skim) {
            decoding->still = surveyPackets(input);
            decoding->skim = decoding->still.usable;
        }
    }
    return [decoding](int) { return takePicture(*decoding); };
}
