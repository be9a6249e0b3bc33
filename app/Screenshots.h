#pragma once

#include <QString>

namespace velmora::ui::qt {
class MainWindow;
}

namespace velmora::app {

// For the documentation: once the window has started, saves main-window.png and about-box.png
// into `directory`, then closes the window. Reached only through VELMORA_SCREENSHOTS.
void TakeScreenshots(ui::qt::MainWindow& window, const QString& directory);

}  // namespace velmora::app
