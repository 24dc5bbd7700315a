// Decoding in the process, frame by frame: packets to the decoder, decoded
// frames to the sampler, as the ffmpeg program does; the video's frames as
// a frame source.
#include "decoding.h"

#include <QObject>

#include <algorithm>

namespace
{

// Pictures decoded ahead of the walk.
constexpr std::size_t picturesAhead = 4;

// ffmpeg ends a run whose decoding failed more often than this share of the
// times it was tried (its -max_error_rate).
constexpr double largestErrorShare = 2.0 / 3.0;

// The frame's share of the stream's clock, as ffmpeg counts it.
int64_t frameDuration(const Decoding &decoding, const AVFrame *frame)
{
    if (frame->pkt_duration > 0)
        return av_rescale_q(frame->pkt_duration, decoding.video.timeBase, av_get_time_base_q());
    const AVRational rate = decoding.decoder->framerate;
    return rate.num > 0 && rate.den > 0 ? int64_t(AV_TIME_BASE) * rate.den / rate.num : 0;
}

} // namespace

bool sampleDecoded(Decoding &decoding, AVFrame *frame)
{
    const int64_t timestamp = frame->best_effort_timestamp;
    if (timestamp != AV_NOPTS_VALUE) {
        ++decoding.framesTimed;
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

bool fail(Decoding &decoding, const QString &reason)
{
    decoding.failure->reason = reason;
    decoding.failed = true;
    return false;
}

void decodeInto(Decoding &decoding, const AVPacket *packet, std::vector<FramePtr> *frames)
{
    AVCodecContext *decoder = decoding.decoder.get();
    chooseDiscard(decoding, packet);
    int error = avcodec_send_packet(decoder, packet);
    if (error < 0 && error != AVERROR_EOF)
        ++decoding.decodeErrors;
    for (;;) {
        error = avcodec_receive_frame(decoder, decoding.frame.get());
        if (error == AVERROR_EOF)
            noteDecoderEmpty(decoding);
        if (error == AVERROR(EAGAIN) || error == AVERROR_EOF)
            return;
        if (error < 0) {
            ++decoding.decodeErrors;
            return;
        }
        ++decoding.framesMade;
        ++decoding.counts.framesDecoded;
        noteDecoded(decoding, decoding.frame.get());
        // Numbered, so that the sampler knows a copy of it (a frame of a
        // still stretch not decoded) when it comes again.
        decoding.frame->opaque = reinterpret_cast<void *>(quintptr(decoding.framesMade));
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

PacketPtr readPacket(Decoding &decoding)
{
    if (!readVideoPacket(decoding.video, decoding.packet.get()))
        return nullptr;
    ++decoding.counts.framesInVideo;
    rememberRead(decoding, *decoding.packet);
    PacketPtr packet(av_packet_alloc());
    av_packet_move_ref(packet.get(), decoding.packet.get());
    return packet;
}

bool decodeAndSample(Decoding &decoding, const AVPacket *packet)
{
    std::vector<FramePtr> frames;
    decodeInto(decoding, packet, &frames);
    if (!frames.empty())
        decoding.lastDecoded.reset(av_frame_clone(frames.back().get()));
    return sampleAll(decoding, frames);
}

namespace
{

bool decodePacket(Decoding &decoding, const AVPacket *packet)
{
    std::vector<FramePtr> frames;
    decodeInto(decoding, packet, &frames);
    return sampleAll(decoding, frames);
}

} // namespace

bool finish(Decoding &decoding)
{
    if (!decodePacket(decoding, nullptr))
        return false;
    decoding.ended = true;
    const qint64 tried = decoding.decodeErrors + decoding.framesMade + decoding.unsampled.leftOut;
    if (double(decoding.decodeErrors) > largestErrorShare * double(tried))
        return fail(decoding, QObject::tr("%1 of %2 frames could not be decoded")
                                  .arg(decoding.decodeErrors)
                                  .arg(tried));
    // A raw stream's packets carry no timestamps, which the ffmpeg program
    // makes up and this decoding does not: said so, rather than that the
    // video held no frame.
    if (decoding.framesMade > 0 && decoding.framesTimed == 0)
        return fail(decoding, QObject::tr("its frames carry no timestamps (--pipe reads it)"));
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

namespace
{

// Reads the next packet and decodes it.
bool decodeNext(Decoding &decoding)
{
    if (!readVideoPacket(decoding.video, decoding.packet.get()))
        return finish(decoding);
    ++decoding.counts.framesInVideo;
    rememberRead(decoding, *decoding.packet);
    return decodePacket(decoding, decoding.packet.get());
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
        decoding->unsampled.enabled = true;
        if (skim) {
            decoding->still = surveyPackets(input);
            decoding->skim = decoding->still.usable;
        }
    }
    return framesAhead([decoding](int) { return takePicture(*decoding); }, picturesAhead);
}
