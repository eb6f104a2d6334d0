#pragma once
// The program's start-up and shutdown of its libraries: every main (the window, the
// command-line converter, each test program) calls this pair once, around everything
// else. The registrations are explicit calls: a registration made by a static
// initialiser would vanish whenever the linker leaves its object file out.

// Registers the graphic classes in the picture registry, in this order: the framework's
// bitmap, the JPEG class ("jpeg", "jpg"; its decoding pixel format from the screen), the
// DIB class (clipboard format 8, "dib"); then TSPIBitmap becomes the plug-in registry's
// default graphic class.
void TavexStartup();
// The reverse: each library withdraws its classes and frees what it shares.
void TavexShutdown();
