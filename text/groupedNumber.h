#pragma once

#include <QString>
#include <QtGlobal>

// A count as the status texts write it, whatever the user's locale:
// thousands set off with commas ("12,345").
QString groupedNumber(quint64 count);
