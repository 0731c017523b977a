#include "ui/frmMain.h"

#include <exception>

void frmMain::guarded(const char *operation, const std::function<void()> &handler)
{
    // Nothing may escape into Qt's event loop: a failure the handler leaves
    // uncaught is shown in panel 1 with what was being done and why it failed.
    try {
        handler();
    } catch (const std::exception &failure) {
        setPanelText(1,
                     QStringLiteral("%1 failed: %2")
                             .arg(QString::fromUtf8(operation), QString::fromUtf8(failure.what())));
    } catch (...) {
        setPanelText(1, QStringLiteral("%1 failed").arg(QString::fromUtf8(operation)));
    }
}
