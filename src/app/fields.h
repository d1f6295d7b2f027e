#pragma once
// The main window's handlers: menu commands, the field change handling
// (trim, anonymous rule, port rule, retries rule, the arming checks), the
// dupe-check boxes and the double-click shortcuts.

namespace corvantel {
class App;

// Installs every handler of the main window's fields, menus and labels.
void installWindowHandlers(App& app);

// Disarm the job when one of its connection fields is empty.
void checkDownloadFields(App& app);
void checkUploadFields(App& app);

}  // namespace corvantel
