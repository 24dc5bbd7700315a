// Any argument list, split at NUL bytes, through the option parser and the
// checks of the values. The parser is asked to parse rather than to process,
// which would end the process on a bad argument or --help.
#include "app.h"

#include <QCommandLineParser>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QStringList arguments{QStringLiteral("stillsift")};
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const QByteArray &argument : bytes.split('\0'))
        arguments.append(QString::fromLocal8Bit(argument));
    QCommandLineParser parser;
    declareOptions(parser);
    if (!parser.parse(arguments) || parser.value(QStringLiteral("input")).isEmpty())
        return 0;
    const std::optional<RunOptions> options = validateOptions(parser);
    // What is let through is what the rest of the run relies on.
    if (options && (options->input.isEmpty() || options->fps < 1 || options->videoChanges < 0 ||
                    options->videoWindow < 1))
        __builtin_trap();
    return 0;
}
