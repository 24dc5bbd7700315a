// The robust walk's parts on their own: the noise model's threshold, the
// rules that tell a region that keeps changing or lies outside the slides
// from a change of slide, and the memory of motion.
#include "robust_internal.h"

#include <QTest>

using namespace robust;

namespace
{

// A grid of columns x rows blocks, of which the listed ones changed.
Difference changed(int columns, int rows, const std::vector<int> &blocks)
{
    Difference difference;
    difference.changed.assign(std::size_t(columns * rows), 0);
    for (const int block : blocks)
        difference.changed[std::size_t(block)] = 1;
    return difference;
}

BlockGrid grid(int columns, int rows)
{
    return {columns, rows, std::vector<float>(std::size_t(columns * rows * channels), 0.0f)};
}

} // namespace

class RobustParts : public QObject
{
    Q_OBJECT

  private slots:
    void noiseSetsTheThresholdFromRecentFrames();
    void whatASmallChangeShows();
    void changeBesideWhereSlidesChangedIsOutside();
    void motionOutsideKnownMoversIsFresh();
};

void RobustParts::noiseSetsTheThresholdFromRecentFrames()
{
    NoiseModel noise{3, {}};
    const float floor = changeThreshold(noise);
    for (int k = 0; k < 3; ++k)
        learnNoise(noise, 10.0f);
    QVERIFY(changeThreshold(noise) > 4 * floor);
    // Only the last three pairs count: a quiet stretch brings it back down.
    for (int k = 0; k < 3; ++k)
        learnNoise(noise, 0.1f);
    QCOMPARE(changeThreshold(noise), floor);
}

// A build taken back shows what was there before; subtitles show another
// line; a pointer is a spot or two, a line of text is not.
void RobustParts::whatASmallChangeShows()
{
    BlockGrid page = grid(10, 10);
    BlockGrid taken = page;
    BlockGrid another = page;
    std::vector<unsigned char> lines(100, 0);
    for (int k = 60; k < 80; ++k) {
        lines[std::size_t(k)] = 1;
        for (int c = 0; c < channels; ++c) {
            page.means[std::size_t(k * channels + c)] = 200.0f;
            taken.means[std::size_t(k * channels + c)] = 200.0f + float(k % 3);
            another.means[std::size_t(k * channels + c)] = k % 2 ? 200.0f : 40.0f;
        }
    }
    const std::vector<unsigned char> none(100, 0);
    QVERIFY(returnsTo(page, taken, lines, none, 12.0f));
    QVERIFY(!returnsTo(page, another, lines, none, 12.0f));
    // What differs outside the region does not count.
    std::vector<unsigned char> top(100, 0);
    top[0] = 1;
    QVERIFY(returnsTo(page, another, top, none, 12.0f));

    QVERIFY(isSmall(changed(10, 10, {90, 91, 92})));
    QVERIFY(!isSmall(changed(10, 10, {0, 1, 2, 3, 4, 5})));
    const BlockGrid wide = grid(60, 40);
    // Where the pointer was and where it rests: two spots of 2 x 3 blocks.
    QVERIFY(
        pointerOnly(changed(60, 40, {61, 62, 121, 122, 181, 182, 1500, 1501, 1560, 1561}), wide));
    QVERIFY(pointerOnly(changed(60, 40, {61, 62, 121, 122, 1999}), wide)); // and a lone block
    QVERIFY(!pointerOnly(changed(60, 40, {61, 62, 121, 122, 1500, 1501, 900, 901}), wide));
    QVERIFY(!pointerOnly(changed(60, 40, {600, 601, 602, 603, 604, 605, 606}), wide));
    QVERIFY(!pointerOnly(changed(60, 40, {}), wide));
}

void RobustParts::changeBesideWhereSlidesChangedIsOutside()
{
    SlideArea area;
    const BlockGrid blocks = grid(10, 10);
    // Slides changed twice in the top-left quarter.
    std::vector<int> topLeft;
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 5; ++x)
            topLeft.push_back(y * 10 + x);
    const std::vector<unsigned char> inside = changed(10, 10, {22, 23}).changed;
    const std::vector<unsigned char> beside = changed(10, 10, {88, 89}).changed;
    QVERIFY(!outsideSlides(area, beside, blocks)); // nothing known yet
    countSlideChange(area, changed(10, 10, topLeft).changed);
    QVERIFY(!outsideSlides(area, beside, blocks)); // once is not yet a place
    QVERIFY(!knowsSlides(area));
    countSlideChange(area, changed(10, 10, topLeft).changed);
    QVERIFY(knowsSlides(area));
    QVERIFY(outsideSlides(area, beside, blocks));
    QVERIFY(!outsideSlides(area, inside, blocks));
    // A block far off that changed with two more slides by chance does not
    // stretch where they are.
    std::vector<int> withStray = topLeft;
    withStray.push_back(98);
    countSlideChange(area, changed(10, 10, withStray).changed);
    countSlideChange(area, changed(10, 10, withStray).changed);
    QVERIFY(outsideSlides(area, beside, blocks));
}

void RobustParts::motionOutsideKnownMoversIsFresh()
{
    MotionMemory memory;
    memory.decay = 1.0f;
    const BlockGrid blocks = grid(10, 10);
    resetMotion(memory, blocks.blocks());
    // A speaker's camera in the corner moves before the first slide holds.
    for (int k = 0; k < 3; ++k)
        trackMotion(memory, blocks, changed(10, 10, {99}), true);
    const Motion again = trackMotion(memory, blocks, changed(10, 10, {99}), false);
    QCOMPARE(again.share, 0.01);
    QCOMPARE(again.freshShare, 0.0);
    memory.freshRun = 0;
    const Motion elsewhere = trackMotion(memory, blocks, changed(10, 10, {0, 99}), false);
    QCOMPARE(elsewhere.freshShare, 0.01);
    forgetMotion(memory, changed(10, 10, {99}).changed);
    QCOMPARE(memory.scores[99], 0.0f);
}

QTEST_GUILESS_MAIN(RobustParts)
#include "tst_robustparts.moc"
