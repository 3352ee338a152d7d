// Keeps the shared test helper library non-empty while all its helpers are header-only.
namespace asynframe::testing { int testing_anchor = 0; }
