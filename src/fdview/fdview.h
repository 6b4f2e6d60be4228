#pragma once
// A rich-text view that a script fills with a screenplay paragraph by
// paragraph, tags paragraphs for later recolouring or hiding, and scrolls
// under program control with a glide on the vertical scroll bar.

#include <QTextBlock>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextEdit>

class QPropertyAnimation;

class FDView : public QTextEdit
{
    Q_OBJECT
public:
    explicit FDView(QWidget *parent = nullptr);
    ~FDView() override;

    // Document building. add and pagebreak do nothing before the first clear.
    void clear();
    void add(const QString &text, const QString &kind, int tag);
    void pagebreak();
    void setColor(int tag, const QColor &colour);
    void setVisibleForTag(int tag, bool visible);
    void setFontScale(double scale) { fontScale = scale; }

    // Reading position as a fraction of the scrollable height, and glides.
    double position() const;
    void setPosition(double f);
    void scrollTo(double f);
    double scrollStep(double pages);

protected:
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    friend struct TestAccess;

    void buildFormats(const QString &kind);
    // Gives one whole paragraph the character format (tags' recolouring).
    void applyToParagraph(const QTextBlock &block, const QTextCharFormat &format);
    // Starts a 1000 ms glide from `from` to `to`, replacing any running one.
    void glide(int from, int to);

    QPropertyAnimation *animation;
    QTextCursor cursor;
    QTextBlockFormat blockFormat;
    QTextCharFormat charFormat;
    double fontScale = 1.0;
    const double marginScale = 0.5;
};
