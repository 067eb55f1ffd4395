// Hooks for the store's tests; production code never sets them.
#pragma once

// Asked before every commit of a store's write transaction, on the
// committing thread; returning false makes that commit fail as a full disk
// would. Null to stop.
void SetPstStoreCommitHook(bool (*hook)());
