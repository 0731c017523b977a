#pragma once

#include "field/TextField.h"
#include "ui/frmMain.h"

#include <QString>

// Puts the text into the send box as one edit of the user's, replacing all
// it held, as selecting everything and pasting would.
inline void setSendText(frmMain &w, const QString &text)
{
    w.txtSend->replaceText(0, w.txtSend->length(), text);
}
