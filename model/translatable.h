#pragma once

// Marks a text of ours for Qt's extraction tool (lupdate) and leaves it as it
// is; the dialogs translate it in the context "pixolune::ui". The same
// definition as Qt's, for the layers that do not include Qt.
#ifndef QT_TRANSLATE_NOOP
#define QT_TRANSLATE_NOOP(scope, x) x
#endif
