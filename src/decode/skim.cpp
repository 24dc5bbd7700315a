#include "decode_internal.h"

#include <algorithm>

namespace
{

// The quarter of the packets between keyframes that are smallest is taken
// to show a still picture, and a packet up to this many times the largest
// of that quarter still codes an unchanged one: an encoder keeps refining a
// still picture for a while after each keyframe, in packets of a few times
// the least, while a change codes every block it touches.
constexpr int stillSpread = 8;
// A packet that codes nothing costs far less than a bit per 16x16 block of
// pixels, a camera's noise far more: when the smallest quarter of the
// packets takes more than a byte per this many pixels (500 bytes at 1080p),
// the video never stands still.
constexpr int pixelsPerStillByte = 4096;

int percentile(std::vector<int> values, double share)
{
    const auto at = values.begin() + qsizetype(double(values.size() - 1) * share);
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

} // namespace

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
    int keyframes = 0;
    while (readVideoPacket(video, packet.get())) {
        if (packet->pts == AV_NOPTS_VALUE)
            return {};
        if (packet->flags & AV_PKT_FLAG_KEY)
            ++keyframes;
        else
            between.push_back(packet->size);
    }
    if (keyframes < 2 || between.empty())
        return {};
    const int stillLevel = percentile(between, 0.25);
    if (qint64(stillLevel) * pixelsPerStillByte > pixels)
        return {};
    return {true, stillLevel * stillSpread};
}

bool mayChangePicture(const AVPacket &packet, const StillPackets &still)
{
    return packet.size > still.largestStill;
}
