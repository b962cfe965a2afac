#pragma once
// Start-up in its fixed order, up to the window event loop.

// The initialisation of paths, globals and the files read at start-up.
void g_subAppIni();
// The process entry's work: start-up in its fixed order, up to the event loop.
void Main();
// The font every window is drawn in (IPA Gothic, 9 points), for the application object.
void InstallApplicationFont();
