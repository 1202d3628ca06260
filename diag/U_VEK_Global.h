#pragma once
// The design's unit of common helpers, U_VEK_Global, as one header: each of
// its parts is a unit of its own, and a program that includes this header
// has them all.
//   - the library's error stop, RaiseError (diag/U_VEK_RaiseError.h);
//   - the release of owned objects, SafeFreeAndNil (diag/U_VEK_SafeFree.h);
//   - a document or URL handed to the desktop, ExecuteFile
//     (diag/U_VEK_ExecuteFile.h);
//   - CreateEmptyFile and ExpandLongPath (diag/U_VEK_Files.h);
//   - indenting continuation lines, IndentText (base/TextUtil.h, the one
//     text helper of the tree);
//   - the description of objects, TVEKObjectInfos
//     (diag/U_VEK_ObjectInfos.h), and of typed argument values,
//     VarRecToText (diag/U_VEK_TypedValue.h), for the library's reports.
#include "base/TextUtil.h"
#include "diag/U_VEK_ExecuteFile.h"
#include "diag/U_VEK_Files.h"
#include "diag/U_VEK_ObjectInfos.h"
#include "diag/U_VEK_RaiseError.h"
#include "diag/U_VEK_SafeFree.h"
#include "diag/U_VEK_TypedValue.h"
