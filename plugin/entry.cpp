// The library's one exported function.
#include "plugin/app.h"
#include "model/host_link.h"
#include "kaleidra/kal_plugin_api.h"
#include "plugin/plugin_module.h"

namespace pixolune {

CPixoluneApp& TheApp() {
    // Built at the first message and destroyed when the library is unloaded,
    // which stops and joins a running worker.
    static CPixoluneApp app;
    static const bool wired = (WireModule(app), true);
    (void)wired;
    return app;
}

}  // namespace pixolune

// There is no framework module state to switch on entry here: the library has
// a single set of resources and the host's state is never touched.
extern "C" int kalPlugInMsgHandler(int code, intptr_t param1, intptr_t param2) {
    try {
        return pixolune::TheApp().HandleMessage(code, param1, param2);
    } catch (const std::exception& error) {
        pixolune::Log("kalPlugInMsgHandler(%d): %s", code, error.what());
    } catch (...) {
        pixolune::Log("kalPlugInMsgHandler(%d): unknown exception", code);
    }
    return 0;
}
