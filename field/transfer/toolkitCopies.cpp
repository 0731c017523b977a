#include "field/transfer/CopyServer.h"

// Where there is no X11 connection to serve copies on, the toolkit serves
// them, whole.
void serveLargeCopies() { }
