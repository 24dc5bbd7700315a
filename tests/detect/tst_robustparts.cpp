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
    void smallChangeOverTheLastOneMovesAgain();
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

void RobustParts::smallChangeOverTheLastOneMovesAgain()
{
    SlideArea area;
    area.repeatFrames = 8;
    const Difference line = changed(10, 10, {90, 91, 92});
    QVERIFY(isSmall(line));
    QVERIFY(!isSmall(changed(10, 10, {0, 1, 2, 3, 4, 5})));
    QVERIFY(!movesAgain(area, line, 100));
    QVERIFY(movesAgain(area, line, 105));  // subtitles, a few seconds on
    QVERIFY(!movesAgain(area, line, 200)); // long after: a change of its own
    QVERIFY(!movesAgain(area, changed(10, 10, {10, 11}), 202));
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
    const Difference inside = changed(10, 10, {22, 23});
    const Difference beside = changed(10, 10, {88, 89});
    QVERIFY(!outsideSlides(area, beside, blocks)); // nothing known yet
    countSlideChange(area, changed(10, 10, topLeft).changed);
    QVERIFY(!outsideSlides(area, beside, blocks)); // once is not yet a place
    countSlideChange(area, changed(10, 10, topLeft).changed);
    QVERIFY(outsideSlides(area, beside, blocks));
    QVERIFY(!outsideSlides(area, inside, blocks));
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
