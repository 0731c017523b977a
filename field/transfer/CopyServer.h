#pragma once

// Serves other programs' pastes and drops of a large copy in steps, while the
// window goes on answering, where the platform lets a program do that itself;
// the toolkit would convert a whole copy at once. Called before a large copy
// is offered; safe to call again.
//
// One implementation is linked per platform: X11's in field/x11, and
// elsewhere one that leaves copies to the toolkit.
void serveLargeCopies();
