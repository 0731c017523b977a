#include "text/groupedNumber.h"

#include <QLocale>

QString groupedNumber(quint64 count)
{
    static const QLocale english(QLocale::English, QLocale::UnitedStates);
    return english.toString(count);
}
