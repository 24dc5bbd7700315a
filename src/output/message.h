// Messages: this tool's own words on standard error.
#pragma once

#include <QString>

// Writes one message on standard error through a stream of its own, flushed
// at once, so messages never interleave badly with ffmpeg's output.
void writeMessage(const QString &message);

// Draws line as the one self-updating progress line on standard error,
// over the one shown before. A message written while it is up starts on a
// line of its own.
void showProgress(const QString &line);

// Takes the progress line away, leaving the cursor at the start of an empty
// line, as if it had never been there; nothing when none is up.
void eraseProgress();
