// Defaults for the sanitizer runtime in sanitized builds of kelvane-scope and of the tests that
// draw with Qt Gui. Qt 5's offscreen platform plug-in never deletes its screen, so every process
// that creates a QGuiApplication on it ends with the same few hundred bytes unfreed; those are
// Qt's, not ours, and are suppressed by the functions that allocate them. Full stacks are needed
// to see those functions through Qt's libraries, which have no frame pointers.

#define KELVANE_SANITIZER_DEFAULT extern "C" __attribute__((visibility("default"), used))

KELVANE_SANITIZER_DEFAULT const char *__asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}

// Quiet about the suppressions, so that standard error carries only the program's own lines.
KELVANE_SANITIZER_DEFAULT const char *__lsan_default_options()
{
    return "print_suppressions=0";
}

KELVANE_SANITIZER_DEFAULT const char *__lsan_default_suppressions()
{
    return "leak:libqoffscreen.so\n"
           "leak:QScreen::QScreen\n"
           "leak:QPlatformScreen::QPlatformScreen\n"
           "leak:QWindowSystemInterface::handleScreenAdded\n";
}
