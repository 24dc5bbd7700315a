#include "decode_internal.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstdlib>

namespace
{

// Pictures are compared in blocks of this many pixels each way: fine enough
// that a word added to a slide moves a block's mean by tens of levels,
// coarse enough that an encoder's quantisation of one still picture moves
// it by a level or two.
constexpr int blockSide = 8;
// The most a block's mean may move between two keyframes of one picture.
constexpr int stillBlockLevels = 4;

// What the packet sizes of a still stretch are measured by: the quarter of
// the packets between keyframes that are smallest is taken to show a still
// picture, and a packet up to this many times the largest of that quarter
// still codes an unchanged one (an encoder refines the picture of a new
// keyframe over its first packets).
constexpr int stillSpread = 32;
// Bytes a still packet may take per pixel at most, whatever the stream
// says: a packet that codes nothing costs far less than a bit per 16x16
// block, a camera's noise far more. 1/4096 byte a pixel is 500 bytes at
// 1080p.
constexpr int pixelsPerStillByte = 4096;
// The largest still packet is never taken above this share of the pixels:
// past it even a moving picture looks still.
constexpr int pixelsPerLargestStillByte = 256;
// Below this share of stretches that look still, skimming does not pay for
// the keyframes it decodes twice.
constexpr double leastStillShare = 0.1;

bool comparablePlanes(const AVPixFmtDescriptor *format)
{
    return format &&
           !(format->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL |
                              AV_PIX_FMT_FLAG_BITSTREAM)) &&
           (format->flags & AV_PIX_FMT_FLAG_PLANAR) && format->comp[0].depth == 8;
}

// Whether any block of one plane moved its mean by more than a still
// picture's quantisation moves it.
bool planeMoved(const AVFrame *a, const AVFrame *b, int plane, int width, int height)
{
    for (int top = 0; top + blockSide <= height; top += blockSide) {
        for (int left = 0; left + blockSide <= width; left += blockSide) {
            int sum = 0;
            for (int y = top; y < top + blockSide; ++y) {
                const uint8_t *p = a->data[plane] + qsizetype(y) * a->linesize[plane] + left;
                const uint8_t *q = b->data[plane] + qsizetype(y) * b->linesize[plane] + left;
                for (int x = 0; x < blockSide; ++x)
                    sum += p[x] - q[x];
            }
            if (std::abs(sum) > stillBlockLevels * blockSide * blockSide)
                return true;
        }
    }
    return false;
}

int percentile(std::vector<int> values, double share)
{
    const auto at = values.begin() + qsizetype(double(values.size() - 1) * share);
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

} // namespace

bool samePicture(const AVFrame *a, const AVFrame *b)
{
    if (a->width != b->width || a->height != b->height || a->format != b->format)
        return false;
    const AVPixFmtDescriptor *format = av_pix_fmt_desc_get(AVPixelFormat(a->format));
    if (!comparablePlanes(format))
        return false;
    for (int plane = 0; plane < 3 && plane < format->nb_components; ++plane) {
        const int shiftX = plane == 0 ? 0 : format->log2_chroma_w;
        const int shiftY = plane == 0 ? 0 : format->log2_chroma_h;
        if (planeMoved(a, b, plane, AV_CEIL_RSHIFT(a->width, shiftX),
                       AV_CEIL_RSHIFT(a->height, shiftY)))
            return false;
    }
    return true;
}

StillPackets surveyPackets(const QString &input)
{
    VideoInput video;
    QString failure;
    if (!openVideo(input, &video, &failure))
        return {};
    const AVCodecParameters *codec = video.format->streams[video.stream]->codecpar;
    const qint64 pixels = qint64(codec->width) * codec->height;
    PacketPtr packet(av_packet_alloc());
    std::vector<int> between; // sizes of the packets between keyframes
    std::vector<int> largestInStretch;
    while (readVideoPacket(video, packet.get())) {
        if (packet->pts == AV_NOPTS_VALUE)
            return {};
        if (packet->flags & AV_PKT_FLAG_KEY) {
            largestInStretch.push_back(0);
        } else {
            between.push_back(packet->size);
            if (!largestInStretch.empty())
                largestInStretch.back() = std::max(largestInStretch.back(), packet->size);
        }
    }
    if (largestInStretch.size() < 2 || between.empty())
        return {};
    const int stillLevel = percentile(between, 0.25);
    if (qint64(stillLevel) * pixelsPerStillByte > pixels)
        return {};
    StillPackets still;
    still.largestStill =
        int(std::min<qint64>(qint64(stillLevel) * stillSpread, pixels / pixelsPerLargestStillByte));
    const auto stillStretches =
        std::count_if(largestInStretch.begin(), largestInStretch.end(),
                      [&](int largest) { return largest <= still.largestStill; });
    still.usable = double(stillStretches) >= leastStillShare * double(largestInStretch.size());
    return still;
}

bool looksStill(const Stretch &stretch, const StillPackets &still)
{
    if (!still.usable || stretch.packets.empty() ||
        !(stretch.packets.front()->flags & AV_PKT_FLAG_KEY))
        return false;
    return std::all_of(stretch.packets.begin() + 1, stretch.packets.end(),
                       [&](const PacketPtr &packet) { return packet->size <= still.largestStill; });
}
