#include "ui/welcome/welcomescreen.h"

#include "ui/common/icons.h"

#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// The design's text styles against its 13-point body; the desktop's own body size stands in for it.
QFont scaled(const QFont &base, qreal designSize, QFont::Weight weight = QFont::Normal)
{
    QFont font = base;
    // Small styles shrink less: the desktop's body text is already smaller than the design's.
    const qreal factor = std::max(designSize / 13, 0.9);
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * factor);
    else
        font.setPixelSize(qRound(font.pixelSize() * factor));
    font.setWeight(weight);
    return font;
}

QLabel *centred(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    return label;
}

} // namespace

WelcomeScreen::WelcomeScreen(QWidget *parent)
    : Screen(parent)
    , m_addServers(new QPushButton(tr("Add servers"), this))
{
    auto *title = centred(tr("Welcome to Wrenlow"), this);
    QFont titleFont = title->font();
    titleFont.setPixelSize(40);
    titleFont.setBold(true);
    title->setFont(titleFont);

    auto *symbol = new QLabel(this);
    symbol->setPixmap(icon(IconName::welcome).pixmap(QSize(64, 64)));
    symbol->setFixedSize(64, 64);
    symbol->setAccessibleName(tr("Wrenlow"));

    auto *tagline = centred(tr("Shadowsocks and VMess proxy client"), this);
    tagline->setFont(scaled(font(), 17));
    auto *hint = centred(tr("Add your proxy servers to start."), this);
    hint->setFont(scaled(font(), 10));

    m_addServers->setFont(scaled(font(), 15, QFont::DemiBold));
    m_addServers->setIconSize(QSize(18, 18));
    m_addServers->setAccessibleName(tr("Add servers"));
    m_addServers->setDefault(true);
    m_addServers->setMinimumHeight(34);
    paintButtonProminent();
    connect(m_addServers, &QPushButton::clicked, this, &WelcomeScreen::addServersRequested);

    auto *note = centred(tr("<b>Please note:</b> we do not sell proxy servers from this app. You need to use a proxy "
                            "service provider of your choice."),
        this);
    note->setTextFormat(Qt::RichText);
    note->setFont(scaled(font(), 11));
    note->setContentsMargins(5, 5, 5, 5);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 30, 16, 16);
    layout->setSpacing(0);
    layout->addStretch(1);
    layout->addWidget(title);
    layout->addSpacing(16);
    layout->addWidget(symbol, 0, Qt::AlignHCenter);
    layout->addSpacing(4);
    layout->addWidget(tagline);
    layout->addWidget(hint);
    layout->addSpacing(20);
    layout->addWidget(m_addServers, 0, Qt::AlignHCenter);
    layout->addSpacing(30);
    layout->addWidget(note);
    layout->addStretch(1);
}

void WelcomeScreen::changeEvent(QEvent *event)
{
    Screen::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        paintButtonProminent();
}

void WelcomeScreen::paintButtonProminent()
{
    const QPalette colours = palette();
    QPalette filled = m_addServers->palette();
    filled.setColor(QPalette::Button, colours.color(QPalette::Highlight));
    filled.setColor(QPalette::ButtonText, colours.color(QPalette::HighlightedText));
    m_addServers->setPalette(filled);
    m_addServers->setIcon(tintedIcon(IconName::add, colours.color(QPalette::HighlightedText)));
}
