#include "app/SkinPainter.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QtMath>

namespace skin {
namespace {

const QColor kBodyTop{0x46, 0x50, 0x5e};
const QColor kBodyBottom{0x1c, 0x21, 0x29};
const QColor kBezel{0x12, 0x16, 0x1c};
const QColor kLcdTop{0xdf, 0xee, 0xe0};
const QColor kLcdBottom{0xb4, 0xcf, 0xb8};
const QColor kPanel{0x2a, 0x31, 0x3b};
const QColor kEngraving{0x9a, 0xa6, 0xb5};

// Display behind the number field, the message list, the volume slider and the account.
const QRect kDisplayBezel{80, 58, 218, 200};
const QRect kDisplay{86, 65, 206, 187};
// Panel behind the lamp and the three small buttons.
const QRect kToolPanel{96, 259, 186, 44};
// Panel behind the call buttons and the dial pad.
const QRect kKeyPanel{324, 62, 178, 246};

void PaintBody(QPainter& p) {
    p.fillRect(QRect(QPoint(0, 0), kImageSize), kBodyBottom);
    QLinearGradient body(0, 0, 0, kClientSize.height());
    body.setColorAt(0, kBodyTop);
    body.setColorAt(1, kBodyBottom);
    p.setPen(QPen(QColor(0x6c, 0x78, 0x88), 1.5));
    p.setBrush(body);
    p.drawRoundedRect(QRectF(2.5, 2.5, kClientSize.width() - 5, kClientSize.height() - 5), 22, 22);
    // A soft sheen on the upper edge gives the body some depth.
    p.setPen(QPen(QColor(255, 255, 255, 40), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(5.5, 5.5, kClientSize.width() - 11, kClientSize.height() - 11), 19,
                      19);
}

void PaintCaptionStrip(QPainter& p) {
    p.setPen(QPen(QColor(255, 255, 255, 30), 1));
    p.drawLine(24, 34, kClientSize.width() - 24, 34);
    QFont title("DejaVu Sans");
    title.setPixelSize(14);
    title.setBold(true);
    p.setFont(title);
    p.setPen(QColor(0xe6, 0xea, 0xef));
    p.drawText(QRect(26, 7, 200, 20), Qt::AlignLeft | Qt::AlignVCenter, "SoftPhone");
    QFont brand("DejaVu Sans");
    brand.setPixelSize(10);
    p.setFont(brand);
    p.setPen(kEngraving);
    p.drawText(QRect(112, 9, 200, 18), Qt::AlignLeft | Qt::AlignVCenter, "KYR  VoIP");
}

void PaintSpotFrame(QPainter& p, const QRect& spot, const QColor& fill) {
    p.setPen(QPen(QColor(0x0c, 0x0f, 0x13), 1));
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(spot).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
}

void PaintHideAndCloseSymbols(QPainter& p) {
    PaintSpotFrame(p, kHideSpot, QColor(0x55, 0x61, 0x70));
    p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
    const int y = kHideSpot.bottom() - 4;
    p.drawLine(kHideSpot.left() + 5, y, kHideSpot.right() - 5, y);

    PaintSpotFrame(p, kCloseSpot, QColor(0xc0, 0x39, 0x2b));
    p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
    const QRect cross = kCloseSpot.adjusted(5, 4, -5, -4);
    p.drawLine(cross.topLeft(), cross.bottomRight());
    p.drawLine(cross.topRight(), cross.bottomLeft());
}

void PaintDisplay(QPainter& p) {
    p.setPen(QPen(QColor(0x5d, 0x68, 0x77), 1));
    p.setBrush(kBezel);
    p.drawRoundedRect(QRectF(kDisplayBezel).adjusted(0.5, 0.5, -0.5, -0.5), 12, 12);
    QLinearGradient lcd(0, kDisplay.top(), 0, kDisplay.bottom());
    lcd.setColorAt(0, kLcdTop);
    lcd.setColorAt(1, kLcdBottom);
    p.setPen(Qt::NoPen);
    p.setBrush(lcd);
    p.drawRoundedRect(kDisplay, 6, 6);
}

void PaintPanel(QPainter& p, const QRect& r, int radius) {
    p.setPen(QPen(QColor(255, 255, 255, 28), 1));
    p.setBrush(kPanel);
    p.drawRoundedRect(QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
}

void PaintKeyPanel(QPainter& p) {
    PaintPanel(p, kKeyPanel, 14);
    p.setPen(QPen(QColor(255, 255, 255, 30), 1));
    p.drawLine(kKeyPanel.left() + 14, 131, kKeyPanel.right() - 14, 131);
}

// The earpiece holes of the handset's speaker, left of the display.
void PaintSpeakerGrille(QPainter& p) {
    p.setPen(Qt::NoPen);
    for (int row = 0; row < 12; ++row) {
        for (int col = 0; col < 4; ++col) {
            const QPointF centre(32 + col * 10 + (row % 2) * 5, 96 + row * 11);
            QRadialGradient hole(centre, 3.2);
            hole.setColorAt(0, QColor(0x05, 0x06, 0x08));
            hole.setColorAt(1, QColor(0x2c, 0x33, 0x3d));
            p.setBrush(hole);
            p.drawEllipse(centre, 3.0, 3.0);
        }
    }
}

// The brand plate right of the key panel.
void PaintSidePlate(QPainter& p) {
    p.save();
    p.translate(548, 188);
    p.rotate(-90);
    QFont brand("DejaVu Sans");
    brand.setPixelSize(13);
    brand.setBold(true);
    brand.setLetterSpacing(QFont::AbsoluteSpacing, 4);
    p.setFont(brand);
    p.setPen(QColor(0x7d, 0x89, 0x98));
    p.drawText(QRect(-90, -12, 180, 24), Qt::AlignCenter, "KYR SOFTPHONE");
    p.restore();
}

void PaintToolLabels(QPainter& p) {
    QFont small("DejaVu Sans");
    small.setPixelSize(8);
    p.setFont(small);
    p.setPen(kEngraving);
    // Engraved under the call buttons, which carry pictures only.
    p.drawText(QRect(332, 115, 56, 12), Qt::AlignCenter, "CALL");
    p.drawText(QRect(389, 115, 46, 12), Qt::AlignCenter, "CLEAR");
    p.drawText(QRect(436, 115, 58, 12), Qt::AlignCenter, "END");
}

// A classic telephone receiver across a square box, as a filled outline.
QPainterPath HandsetPath(qreal s) {
    QPainterPath handle;
    handle.moveTo(0.18 * s, 0.50 * s);
    handle.cubicTo(0.30 * s, 0.20 * s, 0.70 * s, 0.20 * s, 0.82 * s, 0.50 * s);
    QPainterPathStroker stroker;
    stroker.setWidth(0.15 * s);
    stroker.setCapStyle(Qt::RoundCap);
    QPainterPath path = stroker.createStroke(handle);
    path.addRoundedRect(QRectF(0.04 * s, 0.46 * s, 0.30 * s, 0.17 * s), 0.07 * s, 0.07 * s);
    path.addRoundedRect(QRectF(0.66 * s, 0.46 * s, 0.30 * s, 0.17 * s), 0.07 * s, 0.07 * s);
    return path.simplified();
}

void DrawHandset(QPainter& p, const QSize& size, const QColor& colour, qreal degrees) {
    const qreal s = qMin(size.width(), size.height()) * 0.92;
    p.translate(size.width() / 2.0, size.height() / 2.0);
    p.rotate(degrees);
    p.translate(-s / 2, -s / 2);
    p.setPen(QPen(colour.darker(150), 1));
    QLinearGradient fill(0, 0, 0, s);
    fill.setColorAt(0, colour.lighter(130));
    fill.setColorAt(1, colour);
    p.setBrush(fill);
    p.drawPath(HandsetPath(s));
}

void DrawClear(QPainter& p, const QSize& size) {
    const qreal w = size.width(), h = size.height();
    const QRectF box(w * 0.5 - h * 0.42, h * 0.24, h * 0.9, h * 0.52);
    QPainterPath tag;
    tag.moveTo(box.left(), box.center().y());
    tag.lineTo(box.left() + box.height() * 0.5, box.top());
    tag.lineTo(box.right(), box.top());
    tag.lineTo(box.right(), box.bottom());
    tag.lineTo(box.left() + box.height() * 0.5, box.bottom());
    tag.closeSubpath();
    p.setPen(QPen(QColor(0x8a, 0x5a, 0x00), 1.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(QColor(0xf3, 0xb2, 0x1b));
    p.drawPath(tag);
    const QPointF c(box.left() + box.width() * 0.62, box.center().y());
    const qreal d = box.height() * 0.2;
    p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(c + QPointF(-d, -d), c + QPointF(d, d));
    p.drawLine(c + QPointF(d, -d), c + QPointF(-d, d));
}

void DrawGear(QPainter& p, const QSize& size) {
    const qreal r = qMin(size.width(), size.height()) * 0.42;
    const QPointF c(size.width() / 2.0, size.height() / 2.0);
    QPainterPath gear;
    const int teeth = 8;
    for (int i = 0; i < teeth * 2; ++i) {
        const qreal a0 = (i - 0.5) * M_PI / teeth;
        const qreal a1 = (i + 0.5) * M_PI / teeth;
        const qreal rr = (i % 2 == 0) ? r : r * 0.76;
        const QPointF p0 = c + QPointF(qCos(a0) * rr, qSin(a0) * rr);
        const QPointF p1 = c + QPointF(qCos(a1) * rr, qSin(a1) * rr);
        if (i == 0) {
            gear.moveTo(p0);
        } else {
            gear.lineTo(p0);
        }
        gear.lineTo(p1);
    }
    gear.closeSubpath();
    gear.addEllipse(c, r * 0.32, r * 0.32);
    gear.setFillRule(Qt::OddEvenFill);
    p.setPen(QPen(QColor(0x2d, 0x36, 0x42), 1));
    p.setBrush(QColor(0x8f, 0x9c, 0xad));
    p.drawPath(gear);
}

void DrawBook(QPainter& p, const QSize& size) {
    const qreal h = qMin(size.width(), size.height()) * 0.78;
    const QRectF cover(size.width() / 2.0 - h * 0.36, (size.height() - h) / 2.0, h * 0.72, h);
    p.setPen(QPen(QColor(0x10, 0x3a, 0x6b), 1));
    p.setBrush(QColor(0x2f, 0x74, 0xc0));
    p.drawRoundedRect(cover, 2, 2);
    p.setBrush(QColor(0x1c, 0x50, 0x8c));
    p.drawRect(QRectF(cover.left(), cover.top(), cover.width() * 0.16, cover.height()));
    p.setPen(QPen(Qt::white, 1.4, Qt::SolidLine, Qt::RoundCap));
    const qreal x0 = cover.left() + cover.width() * 0.34;
    const qreal x1 = cover.right() - cover.width() * 0.14;
    for (int i = 0; i < 3; ++i) {
        const qreal y = cover.top() + cover.height() * (0.3 + 0.17 * i);
        p.drawLine(QPointF(x0, y), QPointF(x1, y));
    }
}

void DrawInfo(QPainter& p, const QSize& size) {
    const qreal r = qMin(size.width(), size.height()) * 0.4;
    const QPointF c(size.width() / 2.0, size.height() / 2.0);
    p.setPen(QPen(QColor(0x0f, 0x5e, 0x3a), 1));
    p.setBrush(QColor(0x25, 0xa2, 0x65));
    p.drawEllipse(c, r, r);
    QFont f("DejaVu Serif");
    f.setPixelSize(qRound(r * 1.5));
    f.setBold(true);
    f.setItalic(true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), Qt::AlignCenter, "i");
}

QString LettersOf(QChar key) {
    switch (key.unicode()) {
        case '2':
            return "ABC";
        case '3':
            return "DEF";
        case '4':
            return "GHI";
        case '5':
            return "JKL";
        case '6':
            return "MNO";
        case '7':
            return "PQRS";
        case '8':
            return "TUV";
        case '9':
            return "WXYZ";
        case '0':
            return "+";
        default:
            return QString();
    }
}

QPixmap EmptyPixmap(const QSize& size) {
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

}  // namespace

void PaintPhoneBody(QPainter& painter) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    PaintBody(painter);
    PaintCaptionStrip(painter);
    PaintHideAndCloseSymbols(painter);
    PaintSpeakerGrille(painter);
    PaintDisplay(painter);
    PaintPanel(painter, kToolPanel, 10);
    PaintKeyPanel(painter);
    PaintToolLabels(painter);
    PaintSidePlate(painter);
    painter.restore();
}

QPixmap DialKeyGlyph(QChar key, const QSize& size) {
    QPixmap pixmap = EmptyPixmap(size);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QString letters = LettersOf(key);
    QFont big("DejaVu Sans");
    big.setPixelSize(key == '*' ? 24 : 17);
    big.setBold(true);
    p.setFont(big);
    p.setPen(QColor(0x1d, 0x23, 0x2b));
    const int digitHeight = letters.isEmpty() ? size.height() : size.height() * 7 / 10;
    const int lift = key == '*' ? 4 : 0;
    p.drawText(QRect(0, lift, size.width(), digitHeight), Qt::AlignCenter, QString(key));
    if (!letters.isEmpty()) {
        QFont small("DejaVu Sans");
        small.setPixelSize(7);
        small.setLetterSpacing(QFont::AbsoluteSpacing, 1);
        p.setFont(small);
        p.setPen(QColor(0x55, 0x60, 0x6d));
        p.drawText(QRect(0, digitHeight - 3, size.width(), size.height() - digitHeight + 3),
                   Qt::AlignHCenter | Qt::AlignTop, letters);
    }
    return pixmap;
}

QPixmap ButtonGlyph(Glyph glyph, const QSize& size) {
    QPixmap pixmap = EmptyPixmap(size);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    switch (glyph) {
        case Glyph::Dial:
            DrawHandset(p, size, QColor(0x1f, 0xa8, 0x45), -25);
            break;
        case Glyph::HangUp:
            DrawHandset(p, size, QColor(0xd9, 0x2b, 0x2b), 180);
            break;
        case Glyph::Clear:
            DrawClear(p, size);
            break;
        case Glyph::Config:
            DrawGear(p, size);
            break;
        case Glyph::Book:
            DrawBook(p, size);
            break;
        case Glyph::ReadMe:
            DrawInfo(p, size);
            break;
    }
    return pixmap;
}

QIcon ApplicationIcon() {
    QIcon icon;
    for (int side : {16, 24, 32, 48, 64, 128}) {
        QPixmap pixmap = EmptyPixmap(QSize(side, side));
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        QLinearGradient tile(0, 0, 0, side);
        tile.setColorAt(0, kBodyTop);
        tile.setColorAt(1, kBodyBottom);
        p.setPen(Qt::NoPen);
        p.setBrush(tile);
        p.drawRoundedRect(QRectF(0, 0, side, side), side * 0.2, side * 0.2);
        p.translate(side * 0.1, side * 0.12);
        DrawHandset(p, QSize(side * 0.8, side * 0.8), QColor(0x2e, 0xc2, 0x5a), -25);
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace skin
