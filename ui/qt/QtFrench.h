#pragma once

class QCoreApplication;

namespace velmora::ui::qt {

// Qt's own boxes (file dialog, "already exists" prompt, buttons, key names) in French, from the
// translations the distribution ships. False when they are not installed: Qt speaks English.
bool LoadQtFrench(QCoreApplication& app);

}  // namespace velmora::ui::qt
