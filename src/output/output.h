// Output: messages on standard error, the slide files, the timeline report
// and the reading aids (Markdown notes, an HTML page, a PDF). Each has a
// header of its own; this one gathers them.
#pragma once

#include "message.h"
#include "reading.h"
#include "report.h"
#include "slidefiles.h"
