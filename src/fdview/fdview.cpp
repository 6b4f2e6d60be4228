#include "fdview.h"

#include <QDebug>
#include <QMouseEvent>
#include <QPropertyAnimation>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

const char *const kFamily = "Courier New";
const double kBaseSize = 10.0;
const int kGlideMs = 1000;

// f × maximum cut toward zero, kept inside int so the scroll bar can clamp.
int fractionOf(double f, int maximum)
{
    const double v = std::trunc(f * maximum);
    if (std::isnan(v))
        return 0;
    if (v >= double(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (v <= double(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return int(v);
}

double fraction(int value, int maximum) { return maximum == 0 ? 0.0 : double(value) / double(maximum); }

} // namespace

FDView::FDView(QWidget *parent)
    : QTextEdit(parent)
    , animation(new QPropertyAnimation(verticalScrollBar(), "value"))
{
    animation->setEasingCurve(QEasingCurve::InOutCubic);
}

FDView::~FDView()
{
    // Not a Qt child: it must go before the scroll bar it drives.
    delete animation;
}

void FDView::clear()
{
    document()->clear();
    cursor = QTextCursor(document());
    cursor.movePosition(QTextCursor::Start);
}

void FDView::buildFormats(const QString &kind)
{
    QTextBlockFormat block;
    QTextCharFormat chars;
    chars.setFontFamily(QString::fromLatin1(kFamily));
    chars.setFontPointSize(kBaseSize * fontScale);
    if (kind == QLatin1String("Title")) {
        block.setAlignment(Qt::AlignCenter);
        chars.setFontPointSize(22.0 * fontScale);
        chars.setFontWeight(QFont::Bold);
    } else if (kind == QLatin1String("Dialogue")) {
        block.setLeftMargin(140 * marginScale);
        block.setRightMargin(140 * marginScale);
    } else if (kind == QLatin1String("Character")) {
        block.setLeftMargin(220 * marginScale);
        block.setRightMargin(100 * marginScale);
        chars.setBackground(QBrush(Qt::red));
    } else if (kind == QLatin1String("Action")) {
        block.setLeftMargin(40 * marginScale);
        block.setRightMargin(40 * marginScale);
        chars.setForeground(QBrush(QColor(QStringLiteral("#555"))));
    } else if (kind == QLatin1String("Scene")) {
        chars.setFontWeight(QFont::Bold);
    } else if (kind == QLatin1String("Page")) {
        block.setAlignment(Qt::AlignRight);
        block.setRightMargin(80 * marginScale);
        chars.setFontPointSize(8.0 * fontScale);
    }
    blockFormat = block;
    charFormat = chars;
}

void FDView::add(const QString &text, const QString &kind, int tag)
{
    // Scripts start every screenplay with clear(); until then there is no
    // place to write to.
    if (cursor.isNull())
        return;
    if (!kind.isEmpty())
        buildFormats(kind);
    cursor.insertBlock(blockFormat, charFormat);
    cursor.block().setUserState(tag);
    if (!text.isEmpty())
        cursor.insertText(text, charFormat);
}

void FDView::pagebreak()
{
    if (cursor.isNull())
        return;
    cursor.insertHtml(QStringLiteral("<hr>"));
}

void FDView::applyToParagraph(const QTextBlock &block, const QTextCharFormat &format)
{
    QTextCursor c(block);
    c.select(QTextCursor::BlockUnderCursor);
    if (c.hasSelection()) {
        c.setCharFormat(format);
    } else {
        // Qt selects nothing in an empty paragraph, and setCharFormat without
        // a selection would only change the cursor. The paragraph's own
        // character format is what its empty line (and anything typed into
        // it later) is drawn with, so it takes the format instead.
        c.setBlockCharFormat(format);
    }
}

void FDView::setColor(int tag, const QColor &colour)
{
    for (QTextBlock b = document()->begin(); b.isValid(); b = b.next()) {
        if (b.userState() != tag)
            continue;
        QTextCharFormat f = b.charFormat();
        f.setBackground(QBrush(colour));
        applyToParagraph(b, f);
    }
}

void FDView::setVisibleForTag(int tag, bool visible)
{
    for (QTextBlock b = document()->begin(); b.isValid(); b = b.next()) {
        if (b.userState() != tag)
            continue;
        QTextCharFormat f = b.charFormat();
        if (visible) {
            f.setForeground(QBrush(QColor(QStringLiteral("#555"))));
            f.setFontPointSize(kBaseSize * fontScale);
        } else {
            // White on the white page at one point: gone from sight but
            // still holding its place, so positions stay meaningful.
            f.setForeground(QBrush(Qt::white));
            f.setFontPointSize(1);
        }
        applyToParagraph(b, f);
    }
}

void FDView::mouseMoveEvent(QMouseEvent *event)
{
    // A read-only prompter is driven by touch: drags belong to the parent,
    // and must not select text.
    if (isReadOnly()) {
        event->ignore();
        return;
    }
    QTextEdit::mouseMoveEvent(event);
}

double FDView::position() const
{
    const QScrollBar *bar = verticalScrollBar();
    return fraction(bar->value(), bar->maximum());
}

void FDView::setPosition(double f)
{
    QScrollBar *bar = verticalScrollBar();
    qDebug() << "setPosition" << f << bar->maximum() << bar->pageStep();
    bar->setValue(fractionOf(f, bar->maximum()));
}

void FDView::glide(int from, int to)
{
    animation->setDuration(kGlideMs);
    animation->setStartValue(from);
    animation->setEndValue(to);
    animation->start(QAbstractAnimation::KeepWhenStopped);
}

void FDView::scrollTo(double f)
{
    QScrollBar *bar = verticalScrollBar();
    const int maximum = bar->maximum();
    const int value = bar->value();
    const int target = maximum == 0 ? 0 : fractionOf(f, maximum);
    qDebug() << "scrollTo" << f << maximum << bar->pageStep() << value << target;
    int start = value;
    if (animation->state() == QAbstractAnimation::Running) {
        // Land where the previous glide was heading, then glide on.
        start = animation->endValue().toInt();
        animation->stop();
    }
    glide(start, qBound(0, target, maximum));
}

double FDView::scrollStep(double pages)
{
    QScrollBar *bar = verticalScrollBar();
    const int maximum = bar->maximum();
    double raw = std::fabs(pages) * bar->pageStep();
    if (!(raw >= 1.0))
        raw = 1.0;
    const int step = raw >= double(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max() : int(raw);
    int base = bar->value();
    qDebug() << "scrollStep" << pages << maximum << bar->pageStep() << base << step;
    int start = base;
    if (animation->state() == QAbstractAnimation::Running) {
        // Quick repeated steps add up: each one goes a step beyond the
        // previous target, from wherever the view is now.
        base = animation->endValue().toInt();
        animation->stop();
        start = bar->value();
    }
    const int64_t moved = pages < 0 ? int64_t(base) - step : int64_t(base) + step;
    const int target = int(qBound<int64_t>(0, moved, maximum));
    glide(start, target);
    return fraction(target, maximum);
}
