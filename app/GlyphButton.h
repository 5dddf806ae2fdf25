#pragma once

#include <QPixmap>
#include <QPushButton>
#include <QRect>
#include <QSize>

// The window's buttons are glyphs drawn to fit inside their border.
inline QPushButton* GlyphButton(QWidget* parent, const char* name, const QRect& geometry,
                                const QPixmap& glyph) {
    auto* button = new QPushButton(parent);
    button->setObjectName(name);
    button->setGeometry(geometry);
    button->setIcon(QIcon(glyph));
    button->setIconSize(glyph.size());
    return button;
}

inline QSize GlyphSizeFor(const QRect& geometry) {
    return geometry.size() - QSize(8, 8);
}
