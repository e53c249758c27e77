// The view tests' fake model is written with Qt's keywords, which the application's code
// switches off; this file, built without jolto_app, hands its meta-object to the views test.
#include "FakeHostModel.h"

const QMetaObject& fakeHostModelMetaObject() {
    return FakeHostModel::staticMetaObject;
}
