#pragma once

#include "field/widget/TextField.h"
#include "ui/frmMain.h"

#include <QString>

// Puts the text into the send box as one edit of the user's, replacing all
// it held, as selecting everything and pasting would. The field's own edit
// call stands in for the paste: typing texts of a million characters would
// take a test minutes and a clipboard is not there in every test session.
inline void setSendText(frmMain &w, const QString &text)
{
    auto *box = w.findChild<TextField *>(QStringLiteral("txtSend"));
    box->replaceText(0, box->length(), text);
}
