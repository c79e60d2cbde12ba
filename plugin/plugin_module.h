#pragma once

namespace pixolune {

class CPixoluneApp;

// Connects the parts that only the finished library has (the dialogs) to the
// application object; tests that link the application directly do without.
void WireModule(CPixoluneApp& app);

}  // namespace pixolune
