#pragma once
#include <QtCore/qcompilerdetection.h>

/// Marks a class or function that hosts reach through the shared library libscansione.
/// Everything else in the library is built with hidden visibility, so only what carries this
/// mark is part of the library's interface; unmarked code stays free to change.
#define SCANSIONE_EXPORT Q_DECL_EXPORT
