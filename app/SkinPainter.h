#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QRect>
#include <QSize>

class QPainter;

// The phone's artwork, drawn by the program instead of shipped as pictures, so that the skin
// scales cleanly and the hot spots stay exactly where the window expects them.
namespace skin {

// Size of the picture the window lays its controls on (wider and taller than the client area,
// like the original artwork; only the client area is ever seen).
inline constexpr QSize kImageSize{601, 355};
inline constexpr QSize kClientSize{593, 328};

// The two spots on the caption strip: both span y 9..24 inclusive.
inline constexpr QRect kHideSpot{548, 9, 18, 16};   // x 548..565
inline constexpr QRect kCloseSpot{570, 9, 18, 16};  // x 570..587

// Paints the phone body, the display behind the number field and the message list, the
// panels behind the keys and the hide and close symbols.
void PaintPhoneBody(QPainter& painter);

enum class Glyph { Dial, HangUp, Clear, Config, Book, ReadMe };

// A dial pad key: the character large, the letters of the key small beneath it.
QPixmap DialKeyGlyph(QChar key, const QSize& size);
QPixmap ButtonGlyph(Glyph glyph, const QSize& size);

// The program's icon: a green handset on a dark rounded tile.
QIcon ApplicationIcon();

}  // namespace skin
