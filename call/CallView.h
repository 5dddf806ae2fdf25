#pragma once

#include <cstdint>
#include <string>

// What call control may do to the main window. The window implements these and carries
// every call across to its own thread in the order made; call control never includes Qt.

// Brush colours of the registration lamp, as RGB values.
constexpr uint32_t clRed = 0xFF0000;
constexpr uint32_t clLime = 0x00FF00;
constexpr uint32_t clMaroon = 0x800000;

class MessageListView {
public:
    virtual ~MessageListView() = default;
    virtual void AppendRow(const std::string& row) = 0;
    // Sets the list's top index to its row count minus rows, so that the last rows are in
    // view; the list leaves the view as it is when that index would be negative.
    virtual void ShowLastRows(int rows) = 0;
};

class StatusLampView {
public:
    virtual ~StatusLampView() = default;
    virtual void SetBrushColor(uint32_t rgb) = 0;
};
