// SPDX-License-Identifier: GPL-3.0-or-later
// Built into every test program of a ThreadSanitizer build: suppressions carried by the program itself
// reach the programs that tests run as other users, who could not read a file under the checkout.
//
// cpp-httplib serves the tests' HTTP servers from Debian's shared library, which is built without
// ThreadSanitizer: the acquire loads guarding its function-local statics and its atomics are invisible,
// so two of its worker threads reading a static the first one built look like a race. Only frames inside
// that library are matched; races in Tarnwick's own code are still reported.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libcpp-httplib.so\n";
}
