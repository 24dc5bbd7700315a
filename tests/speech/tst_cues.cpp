// Subtitle cues to words: WebVTT as ffmpeg writes it, markup left out,
// rolling captions given once, and each cue's words on the span where it
// was mostly spoken.
#include "speech.h"

#include <QTest>

class Cues : public QObject
{
    Q_OBJECT

  private slots:
    void timingAndBlocks();
    void markupLeftOut_data();
    void markupLeftOut();
    void rollingCaptionsGivenOnce();
    void cuesToSpans();
};

static QString spoken(const QList<Cue> &cues)
{
    QStringList words;
    for (const Cue &cue : cues)
        words.append(cue.text);
    return words.join(QLatin1Char(' '));
}

void Cues::timingAndBlocks()
{
    const QList<Cue> cues = parseWebVtt(QStringLiteral(
        "WEBVTT\r\n\r\nNOTE made by hand\r\n\r\nintro\r\n00:01.250 --> 00:03.000 align:start "
        "position:0%\r\nfirst line\r\nsecond line\r\n\r\n01:02:03.004 --> 01:02:05.000\r\n"
        "late\r\n\r\n00:09.000 --> 00:08.000\r\nends before it starts\r\n\r\n"
        "00:10.000 -> 00:11.000\r\nnot a timing line\r\n"));
    QCOMPARE(cues.size(), 3);
    QCOMPARE(cues.at(0).startMs, 1250);
    QCOMPARE(cues.at(0).endMs, 3000);
    QCOMPARE(cues.at(0).text, QStringLiteral("first line\nsecond line"));
    QCOMPARE(cues.at(1).startMs, ((1 * 60 + 2) * 60 + 3) * 1000 + 4);
    // A cue cannot end before it starts: it lasts no time.
    QCOMPARE(cues.at(2).endMs, cues.at(2).startMs);
}

void Cues::markupLeftOut_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("plain");
    QTest::newRow("class and timestamps")
        << "<c.colorE5E5E5>so</c><00:00:01.120><c> what</c><00:00:01.400><c> we</c>"
        << "so what we";
    QTest::newRow("voice and italics") << "<v Roger Bingham>We are in <i>New York</i>"
                                       << "We are in New York";
    QTest::newRow("references") << "fish &amp; chips &lt;3&nbsp;&#233;t&#xE9; &amp;lt;"
                                << QString::fromUtf8("fish & chips <3 été &lt;");
    QTest::newRow("lines and styling left by ASS") << "{\\an8}top\n  of   the\tscreen"
                                                   << "top of the screen";
    QTest::newRow("a lone brace is text") << "a {b} c"
                                          << "a {b} c";
}

void Cues::markupLeftOut()
{
    QFETCH(QString, text);
    QFETCH(QString, plain);
    QCOMPARE(plainCueText(text), plain);
}

// Captions that roll up as a speech recognizer writes them: each line shown
// with its words timed, then again above the next, and a cue of 10 ms that
// repeats what stands.
void Cues::rollingCaptionsGivenOnce()
{
    const QList<Cue> cues = parseWebVtt(QStringLiteral(
        "WEBVTT\n\n"
        "00:00:00.000 --> 00:00:02.000\n<c>today</c><00:00:00.500><c> we look</c>\n\n"
        "00:00:02.000 --> 00:00:02.010\ntoday we look\n\n"
        "00:00:02.010 --> 00:00:04.000\ntoday we look\n<c>at the</c><00:00:03.000><c> "
        "results</c>\n\n"
        "00:00:04.000 --> 00:00:04.010\nat the results\n\n"
        "00:00:04.010 --> 00:00:06.000\nat the results\nthe the results are good\n\n"
        "00:00:06.000 --> 00:00:08.000\ngood news\n\n"
        "00:00:08.000 --> 00:00:09.000\nnews\n"));
    const QList<Cue> once = wordsOnce(cues);
    // "the" said twice and "good" said again each stay: one word alone is
    // no sign of a line shown again. A cue that only repeats adds nothing.
    QCOMPARE(spoken(once), QStringLiteral("today we look at the results the the results are good "
                                          "good news"));
    QCOMPARE(once.size(), 4);
    QCOMPARE(once.at(1).startMs, 2010);
}

void Cues::cuesToSpans()
{
    const QList<Span> spans{{0, 4000}, {4000, 8000}, {8000, 12000}};
    const QList<Cue> cues{{500, 2000, QStringLiteral("one")},
                          // Across the first change, mostly before it.
                          {3000, 4600, QStringLiteral("two")},
                          // Across it, mostly after.
                          {3800, 6000, QStringLiteral("three")},
                          {9000, 9000, QStringLiteral("instant")},
                          {12500, 13000, QStringLiteral("after the end")},
                          {7900, 8000, QStringLiteral("edge")}};
    QCOMPARE(speechBySpan(cues, spans),
             (QStringList{QStringLiteral("one two"), QStringLiteral("three edge"),
                          QStringLiteral("instant after the end")}));
    QCOMPARE(speechBySpan({}, spans), (QStringList{QString(), QString(), QString()}));
}

QTEST_GUILESS_MAIN(Cues)
#include "tst_cues.moc"
