#include "decode_internal.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/pixdesc.h>
}

#include <QObject>
#include <QtEndian>

namespace
{

// The graph as the ffmpeg program builds it for "-vf fps=N" into PPM
// pictures, in two: the fps filter, then the conversion. The first
// conversion leaves the size alone and lets the format filter pick between
// the encoder's two formats; a later one scales to the pictures of the
// first and keeps its format. Its scalers take ffmpeg's default flags, so
// the conversion is ffmpeg's own, pixel for pixel.
QByteArray conversionDescription(const Sampler &sampler)
{
    if (sampler.outFormat < 0)
        return QByteArrayLiteral("format=pix_fmts=rgb24|rgb48be");
    return QStringLiteral("scale=%1:%2:flags=bicubic,format=pix_fmts=%3")
        .arg(sampler.outWidth)
        .arg(sampler.outHeight)
        .arg(QString::fromLatin1(av_get_pix_fmt_name(AVPixelFormat(sampler.outFormat))))
        .toLatin1();
}

QByteArray sourceArguments(const Sampler &sampler, const AVFrame *frame, AVRational timeBase)
{
    QByteArray arguments = QStringLiteral("video_size=%1x%2:pix_fmt=%3:time_base=%4/%5:"
                                          "pixel_aspect=%6/%7")
                               .arg(frame->width)
                               .arg(frame->height)
                               .arg(frame->format)
                               .arg(timeBase.num)
                               .arg(timeBase.den)
                               .arg(frame->sample_aspect_ratio.num)
                               .arg(frame->sample_aspect_ratio.den)
                               .toLatin1();
    if (sampler.frameRate.num > 0 && sampler.frameRate.den > 0)
        arguments += QStringLiteral(":frame_rate=%1/%2")
                         .arg(sampler.frameRate.num)
                         .arg(sampler.frameRate.den)
                         .toLatin1();
    return arguments;
}

int linkGraph(Graph &graph, const QByteArray &description)
{
    AVFilterInOut *outputs = avfilter_inout_alloc();
    AVFilterInOut *inputs = avfilter_inout_alloc();
    int error = AVERROR(ENOMEM);
    if (outputs && inputs) {
        outputs->name = av_strdup("in");
        outputs->filter_ctx = graph.source;
        inputs->name = av_strdup("out");
        inputs->filter_ctx = graph.sink;
        error = avfilter_graph_parse_ptr(graph.graph.get(), description.constData(), &inputs,
                                         &outputs, nullptr);
    }
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    return error < 0 ? error : avfilter_graph_config(graph.graph.get(), nullptr);
}

// A graph from a source of frames like frame, in timeBase, through
// description; an FFmpeg error code when it cannot be made.
int makeGraph(const Sampler &sampler, Graph &graph, const AVFrame *frame, AVRational timeBase,
              const QByteArray &description)
{
    graph.graph.reset(avfilter_graph_alloc());
    graph.source = graph.sink = nullptr;
    if (!graph.graph)
        return AVERROR(ENOMEM);
    graph.graph->scale_sws_opts = av_strdup("flags=bicubic");
    int error = avfilter_graph_create_filter(&graph.source, avfilter_get_by_name("buffer"), "in",
                                             sourceArguments(sampler, frame, timeBase).constData(),
                                             nullptr, graph.graph.get());
    if (error >= 0)
        error = avfilter_graph_create_filter(&graph.sink, avfilter_get_by_name("buffersink"), "out",
                                             nullptr, nullptr, graph.graph.get());
    return error < 0 ? error : linkGraph(graph, description);
}

// New graphs for frames like frame. The frames the old one still held are
// lost with it, as ffmpeg loses them when it reconfigures.
bool makeGraphs(Sampler &sampler, const AVFrame *frame, QString *failure)
{
    const QByteArray sampling = QStringLiteral("fps=%1").arg(sampler.fps).toLatin1();
    int error = makeGraph(sampler, sampler.sampling, frame, sampler.timeBase, sampling);
    if (error >= 0)
        error = makeGraph(sampler, sampler.conversion, frame, AVRational{1, sampler.fps},
                          conversionDescription(sampler));
    if (error < 0) {
        sampler.sampling = {};
        *failure = avErrorText(error);
        return false;
    }
    sampler.width = frame->width;
    sampler.height = frame->height;
    sampler.format = frame->format;
    sampler.lastShown = nullptr;
    if (sampler.outFormat < 0) {
        sampler.outWidth = av_buffersink_get_w(sampler.conversion.sink);
        sampler.outHeight = av_buffersink_get_h(sampler.conversion.sink);
        sampler.outFormat = av_buffersink_get_format(sampler.conversion.sink);
    }
    return true;
}

void freeFrame(void *frame)
{
    auto *owned = static_cast<AVFrame *>(frame);
    av_frame_free(&owned);
}

// 8-bit pictures are handed out in the graph's own buffer, which goes back
// to its pool when the last copy of the picture goes.
QImage narrowPicture(AVFrame *sample)
{
    AVFrame *owned = av_frame_alloc();
    if (!owned)
        return QImage();
    av_frame_move_ref(owned, sample);
    return QImage(owned->data[0], owned->width, owned->height, owned->linesize[0],
                  QImage::Format_RGB888, freeFrame, owned);
}

// 16-bit samples are big-endian and without alpha, as in the PPM pictures.
QImage widePicture(const AVFrame *sample)
{
    QImage image(sample->width, sample->height, QImage::Format_RGBX64);
    if (image.isNull())
        return image;
    for (int y = 0; y < sample->height; ++y) {
        const uchar *from = sample->data[0] + qsizetype(y) * sample->linesize[0];
        auto *to = reinterpret_cast<quint16 *>(image.scanLine(y));
        for (int x = 0; x < sample->width; ++x, from += 6, to += 4) {
            to[0] = qFromBigEndian<quint16>(from);
            to[1] = qFromBigEndian<quint16>(from + 2);
            to[2] = qFromBigEndian<quint16>(from + 4);
            to[3] = 0xffff;
        }
    }
    return image;
}

// ffmpeg keeps its output at a constant frame rate: a picture that comes
// later than the next number fills the gap, the last picture standing in
// for all but one of a gap of two or more, and one that comes too early is
// dropped. The fps filter leaves a gap only where its frames start late, or
// start again at a change of size.
void keepFrameRate(Sampler &sampler, const QImage &picture, int64_t number,
                   std::deque<QImage> *pictures)
{
    // ffmpeg's own nudge, which keeps a whole number from rounding down.
    double shown = double(number) + (number > 0 ? 1.0 : number < 0 ? -1.0 : 0.0) / (1 << 17);
    double duration = 1;
    double early = shown - double(sampler.nextNumber);
    double late = early + duration;
    if (early < 0 && late > 0) {
        duration += early;
        early = 0;
        late = duration;
    }
    long long copies = 1;
    long long lastCopies = 0;
    if (late < -1.1) {
        copies = 0;
    } else if (late > 1.1) {
        copies = llrintf(float(late));
        if (early > 1.1)
            lastCopies = llrintf(float(early - 0.6));
    }
    for (long long i = 0; i < copies; ++i)
        pictures->push_back(i < lastCopies && !sampler.lastPicture.isNull() ? sampler.lastPicture
                                                                            : picture);
    sampler.nextNumber += copies;
    sampler.lastPicture = picture;
}

// The picture of the frame sampled into *picture: converted, or the picture
// of the frame converted last when it is that frame again (null when it
// does not fit in memory). False when the conversion fails, with *failure
// set.
bool convertSampled(Sampler &sampler, AVFrame *sampled, QImage *picture, QString *failure)
{
    if (sampled->opaque && sampled->opaque == sampler.lastShown) {
        *picture = sampler.lastConverted;
        return true;
    }
    int error = av_buffersrc_add_frame_flags(sampler.conversion.source, sampled,
                                             AV_BUFFERSRC_FLAG_KEEP_REF | AV_BUFFERSRC_FLAG_PUSH);
    if (error >= 0)
        error = av_buffersink_get_frame(sampler.conversion.sink, sampler.converted.get());
    if (error < 0) {
        *failure = avErrorText(error);
        return false;
    }
    const bool wide = sampler.converted->format == AV_PIX_FMT_RGB48BE;
    *picture = wide ? widePicture(sampler.converted.get()) : narrowPicture(sampler.converted.get());
    av_frame_unref(sampler.converted.get());
    if (!picture->isNull()) {
        sampler.lastShown = sampled->opaque;
        sampler.lastConverted = *picture;
    }
    return true;
}

bool takePictures(Sampler &sampler, std::deque<QImage> *pictures, QString *failure)
{
    for (;;) {
        const int error = av_buffersink_get_frame_flags(sampler.sampling.sink, sampler.sample.get(),
                                                        AV_BUFFERSINK_FLAG_NO_REQUEST);
        if (error == AVERROR(EAGAIN) || error == AVERROR_EOF)
            return true;
        if (error < 0) {
            *failure = avErrorText(error);
            return false;
        }
        const int64_t number = sampler.sample->pts;
        QImage picture;
        const bool converted = convertSampled(sampler, sampler.sample.get(), &picture, failure);
        av_frame_unref(sampler.sample.get());
        if (!converted)
            return false;
        if (picture.isNull()) {
            *failure = QObject::tr("frame %1 does not fit in memory").arg(pictures->size() + 1);
            return false;
        }
        // The same picture again (as every sample of a stretch left
        // undecoded is) shares the last one's pixels: the pictures of a
        // long still stretch, sampled at once, take the room of one.
        if (picture == sampler.lastPicture)
            picture = sampler.lastPicture;
        keepFrameRate(sampler, picture, number, pictures);
    }
}

} // namespace

bool sampleFrame(Sampler &sampler, const AVFrame *frame, std::deque<QImage> *pictures,
                 QString *failure)
{
    if (!sampler.sampling.graph || frame->width != sampler.width ||
        frame->height != sampler.height || frame->format != sampler.format) {
        if (!makeGraphs(sampler, frame, failure))
            return false;
    }
    const int error =
        av_buffersrc_add_frame_flags(sampler.sampling.source, const_cast<AVFrame *>(frame),
                                     AV_BUFFERSRC_FLAG_KEEP_REF | AV_BUFFERSRC_FLAG_PUSH);
    if (error < 0) {
        *failure = avErrorText(error);
        return false;
    }
    return takePictures(sampler, pictures, failure);
}

bool finishSampling(Sampler &sampler, int64_t endPts, std::deque<QImage> *pictures,
                    QString *failure)
{
    if (!sampler.sampling.graph)
        return true;
    const int error = av_buffersrc_close(sampler.sampling.source, endPts, AV_BUFFERSRC_FLAG_PUSH);
    if (error < 0) {
        *failure = avErrorText(error);
        return false;
    }
    return takePictures(sampler, pictures, failure);
}
