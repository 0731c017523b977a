#include "ui/frmMain.h"

#include <exception>

bool frmMain::guarded(const char *operation, const std::function<void()> &handler,
                      const QString &failureText)
{
    // Nothing may escape into Qt's event loop: a failure the handler leaves
    // uncaught is shown in panel 1 with what was being done and why it failed,
    // or with the one text the handler's failures have for the user.
    try {
        handler();
        return true;
    } catch (const std::exception &failure) {
        setPanelText(1, !failureText.isEmpty() ? failureText
                                               : QStringLiteral("%1 failed: %2")
                                                         .arg(QString::fromUtf8(operation),
                                                              QString::fromUtf8(failure.what())));
    } catch (...) {
        setPanelText(1, !failureText.isEmpty()
                                ? failureText
                                : QStringLiteral("%1 failed").arg(QString::fromUtf8(operation)));
    }
    return false;
}
