#pragma once

// The modal boxes of the Win32 window: the line settings, the messages that cross, the port
// selection and the about box.
// Each lays its controls out in pixels at 96 dpi, as the Qt window does. UI thread only.

#include "ui/win32/Win32Api.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/CommandLine.h"
#include "core/MessageKinds.h"

namespace velmora::ui::win32 {

// "Paramètres du port": empty when cancelled.
std::optional<core::LineSettings> ChooseLineSettings(HWND owner, const core::LineSettings& current);

// "Messages transmis": a column of check boxes per direction and the text frames' box. Each
// change goes to `changed` at once, so that it applies while the box is open; returns when it
// has been closed.
void ShowMessagesBox(HWND owner, const core::MessageChoice& current,
                     const std::function<void(const core::MessageChoice&)>& changed);
// Its check boxes' control ids.
constexpr int MessageKindBoxId(bool toSerial, core::MessageKind kind) {
  return (toSerial ? 510 : 520) + static_cast<int>(kind);
}
inline constexpr int kSerialTextBoxId = 530;

// The port selection box; fits TApdCustomComPort::PortSelector. 0 when cancelled or when no
// port is listed.
std::uint16_t ChooseComPort(HWND owner);

// "A propos...": returns when it has been closed.
// `comments`: the line in force; the build's text when empty.
void ShowAboutBox(HWND owner, const std::string& comments = {});

}  // namespace velmora::ui::win32
