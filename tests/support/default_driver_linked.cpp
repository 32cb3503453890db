// The test programs of the host build run the driver linked into them.

#include "tests/support/testbed.h"

namespace testbed {

std::shared_ptr<host::DriverImage> default_driver() {
    return std::make_shared<host::LinkedDriver>();
}

}  // namespace testbed
