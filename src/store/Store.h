// Store: what the whole persistent store needs set up at once.
//
// StoreRegisterTypes registers the layout templates of every built-in chunk
// type that the store's packages keep (chunk lists, chunk strings and sets,
// segment lists), so that a program that only reads or checks database
// files (quil-dbtool) can convert every page without initialising each
// package.  It may be called any number of times, before or after the
// packages' own XxInitRtns(1), which register the same templates.
#pragma once

namespace quil {

void StoreRegisterTypes();

}  // namespace quil
