// Java-implemented script types: the functions handed to the host for member tags and for the
// death of values that carry Java objects, and what tests read of the member tables.
#pragma once

#include <jni.h>

#include <cstddef>

#include "host/qcapi.h"

// The body of every member tag made by typeAllocTag or typeAddMemberTag: finds the Java method by
// the value's type name and the member name the script used, and runs it; also the built-in
// "onassign", "onserialize" and "onunserialize" callbacks. Never lets a Java exception out.
osError JavaMemberDispatch(quill_token token);
// The custom destructor of a value that carries a Java object: releases the object's global
// reference, on whatever thread the value dies.
void JavaObjectDestructor(quill_type handle);
// Called before a reloaded module registers again: from then on CallerClass looks in the calling
// module's own jar copy first.
void NoteModulesReloaded();
// The class className ("pkg/Name", modified UTF-8) names for the module whose code calls the
// bridge on this thread: its own jar copy's when it was reloaded, else the class path's
// (FindClass, whose exception stays pending when there is none). A local reference, or null.
jclass CallerClass(JNIEnv* env, const char* className);

size_t JavaMemberCount();        // entries of gJavaMembers
size_t PendingJavaTagCount();    // entries of gPendingJavaTags
size_t StoredJavaObjectCount();  // global references held for values
