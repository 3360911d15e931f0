// Fuzzes what a popup's text costs once the markup filter has let it through:
// htmlfilter::filter, then safetext::readFiltered as a text browser or a
// label (by the input's length) reads and lays it out: the work a popup does
// off its main thread under the layout budget. Bytes decoded as UTF-8, on the
// offscreen platform. Built without the sanitizers, so that its times are
// those of the agent.
//
// Invariants: reading and laying out ends within limits::layoutBudgetMs of
// this thread's CPU time; what Qt builds from the filtered markup keeps
// within the limits the filter counts by (tables nested at most
// maxNestedTables deep, at most maxTableCells cells in all (those of a
// table within a table twice), spans at most
// maxSpan; table paddings, spacings and borders at most maxBoxLength, block
// margins and indents at most that for each level of nesting; fonts at most
// maxFontPoints).
#include "fuzzcommon.h"
#include "text/htmlfilter.h"
#include "text/safetext.h"

#include <QFont>
#include <QTextBlock>
#include <QTextFrame>
#include <QTextTable>

#include <ctime>

namespace {

double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

struct Counts
{
    qint64 cells = 0;
};

void checkFrame(QTextFrame* frame, int tables, Counts& counts)
{
    if (auto* table = qobject_cast<QTextTable*>(frame)) {
        ++tables;
        fuzz::check(tables <= limits::maxNestedTables, "tables nested past the limit");
        counts.cells += (qint64(table->rows()) * table->columns()) << (tables - 1);
        fuzz::check(counts.cells <= limits::maxTableCells, "more table cells than the limit");
        const QTextTableFormat format = table->format();
        fuzz::check(format.cellPadding() <= limits::maxBoxLength &&
                        format.cellSpacing() <= limits::maxBoxLength &&
                        format.border() <= limits::maxBoxLength,
                    "a table's padding, spacing or border past the limit");
        for (int r = 0; r < table->rows(); ++r) {
            for (int c = 0; c < table->columns(); ++c) {
                const QTextTableCell cell = table->cellAt(r, c);
                fuzz::check(cell.rowSpan() <= limits::maxSpan &&
                                cell.columnSpan() <= limits::maxSpan,
                            "a cell spans past the limit");
            }
        }
    }
    for (auto it = frame->begin(); !it.atEnd(); ++it) {
        if (QTextFrame* child = it.currentFrame()) {
            checkFrame(child, tables, counts);
            continue;
        }
        const QTextBlock block = it.currentBlock();
        const QTextBlockFormat format = block.blockFormat();
        for (const qreal margin : {format.topMargin(), format.bottomMargin(), format.leftMargin(),
                                   format.rightMargin(), format.textIndent()}) {
            // Qt adds up the margins of nested blocks.
            fuzz::check(margin <= limits::maxHtmlDepth * limits::maxBoxLength,
                        "a block's margin past the limit");
        }
        if (format.lineHeightType() == QTextBlockFormat::ProportionalHeight) {
            fuzz::check(format.lineHeight() <= limits::maxLineHeightPercent,
                        "a proportional line height past the limit");
        } else if (format.lineHeightType() != QTextBlockFormat::SingleHeight) {
            fuzz::check(format.lineHeight() <= limits::maxBoxLength,
                        "a line height past the limit");
        }
        for (auto f = block.begin(); !f.atEnd(); ++f) {
            fuzz::check(f.fragment().charFormat().fontPointSize() <= limits::maxFontPoints,
                        "a font past the limit");
        }
    }
}

} // namespace

/// CPU time this thread takes to read and lay out filtered as a popup does.
double layoutMs(const htmlfilter::Filtered& filtered, bool forLabel)
{
    static const QFont font(QStringLiteral("Sans"), 9);
    const double start = threadCpuMs();
    safetext::readFiltered(filtered.html, filtered.plain, forLabel, font, forLabel ? -1 : 282);
    return threadCpuMs() - start;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::init(true);
    layoutMs(htmlfilter::filter(QStringLiteral("<b>x</b>")), false); // the font database
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), int(size))
                             .left(limits::maxTextLength);
    const htmlfilter::Filtered filtered = htmlfilter::filter(text);
    if (!filtered.rich) {
        return 0;
    }
    const bool forLabel = size % 2 == 1; // a label lays out without a width
    // A character new to the process loads a font once: only a second time
    // over the budget counts.
    fuzz::check(layoutMs(filtered, forLabel) <= limits::layoutBudgetMs ||
                    layoutMs(filtered, forLabel) <= limits::layoutBudgetMs,
                "reading and laying out took longer than the layout budget");
    SafeTextDocument document;
    document.read(filtered.html, QFont(QStringLiteral("Sans"), 9));
    Counts counts;
    checkFrame(document.rootFrame(), 0, counts);
    return 0;
}
