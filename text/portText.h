#pragma once

#include <QStringView>

#include <cstdint>

// Ports travel through text fields. These read them the way a numeric-literal
// reader does, so "1 000", "&H3E8" and "1e3" all mean port 1000.

// Leading numeric value of the text; 0 when it does not begin with a number.
// Spaces, tabs and line feeds anywhere are skipped.
double portTextValue(QStringView text);

// Nearest whole number, an exact half to the even neighbour, as a 32-bit
// signed integer. Throws std::out_of_range when the value does not fit.
int32_t wholeNumber(double value);

// wholeNumber(portTextValue(text)).
int32_t portTextWhole(QStringView text);

// True when the text holds nothing but space characters (only U+0020 counts).
bool isBlankField(QStringView text);

// The text with leading and trailing space characters (only U+0020) removed.
QStringView trimSpaces(QStringView text);
