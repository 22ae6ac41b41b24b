// Test support for permission cases, which root would pass through.
#pragma once

#include <functional>
#include <string>

// Runs the body as an ordinary user, so that file permissions apply: in a
// child process with the identity of "nobody" when the tests run as root,
// directly otherwise. The child's failed expectations make it exit non-zero;
// false (and a message in motivo) when it did, or when it could not drop its
// privileges. Files the child must reach need permissions for others.
bool ComoUsuarioComum(const std::function<void()>& corpo, std::string& motivo);

