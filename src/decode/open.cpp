#include "decode_internal.h"

#include <QFile>

QString avErrorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

namespace
{

// The video stream the ffmpeg program maps by default: the largest picture,
// a stream marked default first; a cover picture only when there is nothing
// else. -1 when there is none.
int mappedVideoStream(const AVFormatContext *format)
{
    int best = -1;
    qint64 bestScore = 0;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream *stream = format->streams[i];
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
            continue;
        qint64 score = qint64(stream->codecpar->width) * stream->codecpar->height +
                       100000000 * !!(stream->event_flags & AVSTREAM_EVENT_FLAG_NEW_PACKETS) +
                       5000000 * !!(stream->disposition & AV_DISPOSITION_DEFAULT);
        if (stream->disposition & AV_DISPOSITION_ATTACHED_PIC)
            score = 1;
        if (score > bestScore) {
            bestScore = score;
            best = int(i);
        }
    }
    return best;
}

} // namespace

bool openVideo(const QString &input, VideoInput *video, QString *failure)
{
    av_log_set_level(AV_LOG_QUIET);
    AVFormatContext *opened = nullptr;
    const QByteArray path = QFile::encodeName(input);
    int error = avformat_open_input(&opened, path.constData(), nullptr, nullptr);
    if (error < 0) {
        *failure = avErrorText(error);
        return false;
    }
    video->format.reset(opened);
    error = avformat_find_stream_info(opened, nullptr);
    if (error < 0) {
        *failure = avErrorText(error);
        return false;
    }
    video->stream = mappedVideoStream(opened);
    if (video->stream < 0) {
        *failure = QStringLiteral("no video stream");
        return false;
    }
    // Only the video's packets are read at all.
    for (unsigned i = 0; i < opened->nb_streams; ++i)
        opened->streams[i]->discard = int(i) == video->stream ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    video->timeBase = opened->streams[video->stream]->time_base;
    if (opened->start_time != AV_NOPTS_VALUE)
        video->offset = -av_rescale_q(opened->start_time, av_get_time_base_q(), video->timeBase);
    return true;
}

bool readVideoPacket(VideoInput &video, AVPacket *packet)
{
    for (;;) {
        av_packet_unref(packet);
        if (av_read_frame(video.format.get(), packet) < 0)
            return false;
        if (packet->stream_index != video.stream)
            continue;
        if (packet->pts != AV_NOPTS_VALUE)
            packet->pts += video.offset;
        if (packet->dts != AV_NOPTS_VALUE)
            packet->dts += video.offset;
        return true;
    }
}

DecoderPtr openDecoder(const VideoInput &video, QString *failure)
{
    const AVStream *stream = video.format->streams[video.stream];
    const AVCodec *codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) {
        *failure = QStringLiteral("no decoder for %1")
                       .arg(QString::fromLatin1(avcodec_get_name(stream->codecpar->codec_id)));
        return nullptr;
    }
    DecoderPtr decoder(avcodec_alloc_context3(codec));
    int error = avcodec_parameters_to_context(decoder.get(), stream->codecpar);
    if (error < 0) {
        *failure = avErrorText(error);
        return nullptr;
    }
    decoder->pkt_timebase = stream->time_base;
    decoder->framerate = stream->avg_frame_rate;
    // One thread, beside the walk's and the writer's: frame threads (what
    // ffmpeg's "auto" takes) cost 25-40% more CPU time and 10-20 MB more
    // memory for about the same wall time on two cores.
    decoder->thread_count = 1;
    error = avcodec_open2(decoder.get(), codec, nullptr);
    if (error < 0) {
        *failure = avErrorText(error);
        return nullptr;
    }
    return decoder;
}
