// The simulator in the test command: a fixed set of seeds, and the rows of
// scenarios it once found broken, each replayed as it was shrunk.

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/digest.h"
#include "platform/files.h"
#include "sim/simulator.h"

namespace corvantel::sim {
namespace {

// Scenarios that once broke an invariant, shrunk by the simulator.
const Scenario regressions[] = {
    // A listing the program filters itself is matched with the real pattern.
    {.seed = 1, .nlst = false, .deleteAfter = true, .listsEverything = true,
     .files = {{"a.jpg", 100}, {"a.jpg.part", 100}, {"notes_jpg.txt", 100}, {".hidden.jpg", 10}}},
    {.seed = 1, .listsEverything = true, .pattern = "?.jpg", .files = {{"a.jpg", 100}, {"ab.jpg", 100}, {"b.JPG", 1}}},
    // No size told, the 226, then the control connection reset while the
    // data is still arriving: the half file never passes.
    {.seed = 2, .retries = 1, .files = {{"a.jpg", 3000}, {"b.jpg", 10}},
     .actions = {{"RETR", 1, Fault::SizeUntold, 0}, {"RETR", 1, Fault::DataAfter, 0}, {"RETR", 1, Fault::Trickle, 400},
                 {"RETR", 1, Fault::ResetAfter, 0}}},
    {.seed = 2, .retries = 1, .files = {{"a.jpg", 3000}, {"b.jpg", 10}},
     .actions = {{"RETR", 1, Fault::SizeUntold, 0}, {"RETR", 1, Fault::DataAfter, 0}, {"RETR", 1, Fault::Trickle, 400},
                 {"RETR", 1, Fault::ResetAfter, 100}}},
    // A server restarting mid-transfer (FIN, no final reply) is a lost
    // connection like a reset: the retries fetch the rest.
    {.seed = 3, .retries = 2, .files = {{"a.jpg", 300}, {"b.jpg", 300}, {"c.jpg", 300}},
     .actions = {{"RETR", 1, Fault::NoFinal, 0}, {"RETR", 1, Fault::CloseAfter, 0}}},
    {.seed = 3, .upload = true, .retries = 1, .files = {{"a.txt", 3000}, {"b.txt", 300}},
     .actions = {{"STOR", 1, Fault::CloseBefore, 0}}},
    // A negative final reply to a listing ends the listing.
    {.seed = 4, .files = {{"a.jpg", 100}}, .actions = {{"NLST", 1, Fault::Refuse, 2}}},
    {.seed = 4, .files = {{"a.jpg", 100}}, .actions = {{"NLST", 1, Fault::Refuse, 3}, {"NLST", 2, Fault::Refuse, 3}}},
    {.seed = 4, .upload = true, .nlst = false, .files = {{"a.txt", 100}}, .actions = {{"LIST", 1, Fault::Refuse, 2}}},
    // PWD refused.
    {.seed = 34, .files = {{"b.jpg", 100}}, .actions = {{"PWD", 1, Fault::Refuse, 1}}},
    // A server that handles nothing after PASV until its data connection
    // comes: no data connection is asked for that nothing uses.
    {.seed = 5, .passive = true, .blockAfterPassive = true, .files = {{"a.jpg", 100}, {"b.jpg", 0}}},
    {.seed = 5, .upload = true, .passive = true, .epsv = Epsv::Refused500, .blockAfterPassive = true,
     .files = {{"a.txt", 100}, {"b.txt", 0}}},
    // EPSV refused by policy, or naming a port nothing accepts on: PASV
    // for the rest of the session, also with such a server.
    {.seed = 5, .passive = true, .epsv = Epsv::Refused550, .blockAfterPassive = true,
     .files = {{"a.jpg", 100}, {"b.jpg", 0}}},
    {.seed = 5, .upload = true, .passive = true, .epsv = Epsv::ClosedPort, .blockAfterPassive = true,
     .files = {{"a.txt", 100}, {"b.txt", 0}}},
    // A server that connects to every PORT address at once costs quick
    // waits nothing.
    {.seed = 6, .quick = true, .connectAtPort = true, .files = {{"a.jpg", 100}, {"b.jpg", 100}}},
    {.seed = 167, .upload = true, .passive = true, .quick = true, .files = {{"my photo 2.txt", 100}}},
    // An upload chosen again by an outer call after a nested one started it.
    {.seed = 5971, .upload = true, .nlst = false, .quick = true, .retries = 1, .dupe = false, .files = {{"b.txt", 100}, {"my photo 2.txt", 100}, {"a3.txt", 100}, {"e.txt", 100}, {"my photo 5.txt", 100}}, .actions = {{"STOR", 6, Fault::DataShort, 95}, {"STOR", 5, Fault::NoFinal, 4}}},
    {.seed = 15139, .upload = true, .nlst = false, .split = true, .multiLine = true, .listsEverything = true, .pattern = "a*.jpg", .files = {{"a0.txt", 100}, {"p1.txt", 100}, {"my photo 2.txt", 100}}, .actions = {{"REST", 2, Fault::Silent, 1}}},
    // A connection lost once no file is left to ask for (FIN or reset alike).
    {.seed = 2413, .retries = 3, .files = {{"my photo 2.jpg", 100}, {"a3.jpg", 100}}, .actions = {{"RETR", 2, Fault::CloseAfter, 2844}}},
    {.seed = 2413, .retries = 3, .files = {{"my photo 2.jpg", 100}, {"a3.jpg", 100}}, .actions = {{"RETR", 2, Fault::ResetAfter, 2844}}},
    // A retry resumes at the failed name in a listing that has changed
    // (a file deleted meanwhile), not at its old position.
    {.seed = 30161, .quick = true, .retries = 1, .deleteAfter = true,
     .files = {{"a.jpg", 0}, {"my photo 2.jpg", 100}, {"a3.jpg", 100}}, .actions = {{"DELE", 2, Fault::Refuse, 5}}},
    // A nested call started the last upload during the outer call's yield.
    {.seed = 162778, .upload = true, .split = true, .multiLine = true, .listsEverything = true, .pattern = "a*.jpg", .files = {{"c.txt", 100}, {"a3.txt", 100}, {"p4.txt", 100}, {"my photo 5.txt", 100}}, .actions = {{"TYPE", 6, Fault::ResetBefore, 1}}},
    {.seed = 185595, .upload = true, .lf = true, .split = true, .multiLine = true, .pattern = "*", .files = {{"a0.txt", 100}, {"b.txt", 100}, {"my photo 2.txt", 100}, {"a3.txt", 100}, {"p4.txt", 100}, {"my photo 5.txt", 100}}, .actions = {{"PORT", 5, Fault::Refuse, 7}}},
    // Several files left to retries that never came to them each fail.
    {.seed = 557632, .nlst = false, .quick = true, .retries = 2, .dupe = false,
     .files = {{"p1.jpg", 100}, {"my photo 2.jpg", 100}},
     .actions = {{"RETR", 4, Fault::CloseBefore, 6}, {"RETR", 2, Fault::NoFinal, 3}, {"RETR", 3, Fault::Silent, 6}}},
    // A repeated greeting answers no command.
    {.seed = 98, .repeatGreeting = true, .files = {{"a.jpg", 100}}},
    // A file taken over for a retry that never comes to it still gets its
    // one line.
    {.seed = 190, .nlst = false, .passive = true, .quick = true, .retries = 2, .files = {{"c.jpg", 100}, {"a3.jpg", 100}},
     .actions = {{"PWD", 2, Fault::ResetBefore, 4}, {"RETR", 2, Fault::DataReset, 26}}},
    {.seed = 564, .upload = true, .passive = true, .quick = true, .retries = 1, .files = {{"e.txt", 100}},
     .actions = {{"STOR", 1, Fault::CloseBefore, 7}, {"REST", 2, Fault::Silent, 3}}},
    // Proven transfers: a SIZE left unanswered is silence (no RETR goes
    // out behind it); a connection lost during a question ends the session
    // at once; SIZE answered in the multi-line form.
    {.seed = 15440, .nlst = false, .passive = true, .resume = true, .features = 1, .pattern = "*",
     .files = {{"c.jpg", 100}}, .actions = {{"SIZE", 1, Fault::Silent, 0}}},
    {.seed = 3476, .nlst = false, .passive = true, .quick = true, .verify = true, .features = 2, .pattern = "?.jpg",
     .files = {{"c.jpg", 100}}, .actions = {{"SIZE", 1, Fault::ResetBefore, 1}}},
    {.seed = 10079, .passive = true, .multiLine = true, .verify = true, .features = 1, .pattern = "*",
     .files = {{"a0.jpg", 100}}},
    // A resume's REST whose transfer never started is undone before the
    // next file's RETR, and a told SIZE is never contradicted by a pass.
    {.seed = 1163768, .nlst = false, .quick = true, .retries = 2, .resume = true, .features = 2, .settle = true,
     .files = {{"a3.jpg", 100}, {"p4.jpg", 100}},
     .actions = {{"RETR", 2, Fault::ResetBefore, 5}, {"PORT", 1, Fault::ResetAfter, 2799}, {"RETR", 1, Fault::Trickle, 2097}}},
    // What real servers do, every reply the standard allows, and names that
    // are never markers: a size read from a name's own parentheses; a
    // login whose text holds refusal words; listings ending in 250; a file
    // named "done" (the end of the work) or holding "GW2_0" (where a
    // listing was cut).
    {.seed = 1, .deleteAfter = true, .pattern = "*", .files = {{"scan (1024).jpg", 5000}, {"IMG_0001 (1).jpg", 300}}},
    {.seed = 1, .login = 1, .files = {{"a.jpg", 100}}},
    {.seed = 1, .replyStyle = 1, .files = {{"a.jpg", 100}}},
    {.seed = 1, .upload = true, .replyStyle = 1, .files = {{"a.txt", 100}}},
    {.seed = 1, .quick = true, .pattern = "*", .files = {{"done", 100}, {"b.jpg", 100}}},
    {.seed = 164, .nlst = false, .passive = true, .quick = true, .pattern = "*", .files = {{"a.jpg", 100}, {"GW2_0001.dat", 100}}},
    // A PORT refused with 550 or 450 is a missing data connection, not
    // the end of a step.
    {.seed = 1, .files = {{"a.jpg", 100}}, .actions = {{"PORT", 1, Fault::Refuse, 3}}},
    {.seed = 1, .upload = true, .files = {{"a.txt", 100}}, .actions = {{"PORT", 1, Fault::Refuse, 4}}},
    // A refused TYPE: the file would come (or be stored) in the other
    // type, and a part kept of it is no beginning of the file.
    {.seed = 48095, .passive = true, .quick = true, .resume = true, .features = 1, .pattern = "a*.jpg",
     .files = {{"a0.jpg", 4832}}, .actions = {{"TYPE", 2, Fault::Refuse, 4}, {"RETR", 1, Fault::DataReset, 17}}},
    // ASCII type: sizes stated as on the server's disk prove nothing.
    {.seed = 223, .passive = true, .verify = true, .features = 2, .ascii = true, .pattern = "a*.jpg", .files = {{"a3.jpg", 100}}},
    // Times ahead of the clock never leave a file silently for ever.
    {.seed = 535, .features = 2, .settle = true, .futureTime = true, .files = {{"p4.jpg", 100}, {"my photo 5.jpg", 100}}},
    {.seed = 1160, .upload = true, .features = 2, .settle = true, .futureTime = true, .files = {{"a.txt", 100}, {"p1.txt", 0}}},
    // Resumes: a file replaced by one of the same size and an older time
    // is never spliced; REST ignored, or refused by the RETR after it.
    {.seed = 255, .nlst = false, .passive = true, .quick = true, .resume = true, .features = 2, .replaced = true, .pattern = "*",
     .files = {{"my photo 2.jpg", 100}}, .actions = {{"RETR", 1, Fault::DataReset, 26}}},
    {.seed = 9613, .nlst = false, .passive = true, .quick = true, .verify = true, .resume = true, .features = 3, .replaced = true,
     .files = {{"a3.jpg", 100}}, .actions = {{"RETR", 1, Fault::DataReset, 67}}},
    {.seed = 255, .nlst = false, .passive = true, .quick = true, .resume = true, .features = 2, .restRefusedAtRetr = true,
     .pattern = "*", .files = {{"my photo 2.jpg", 3000}}, .actions = {{"RETR", 1, Fault::DataReset, 26}}},
    {.seed = 248941, .passive = true, .resume = true, .features = 2, .restIgnored = true,
     .files = {{"a177.jpg", 100}, {"p178.jpg", 100}},
     .actions = {{"RETR", 2, Fault::DataReset, 43}, {"RETR", 1, Fault::DataReset, 11}}},
    {.seed = 255, .nlst = false, .passive = true, .quick = true, .resume = true, .features = 2, .replyStyle = 1,
     .restIgnored = true, .pattern = "*", .files = {{"my photo 2.jpg", 3000}}, .actions = {{"RETR", 1, Fault::DataReset, 26}}},
    // A checksum given the longest patience and never answered, or a
    // question answered only by lines that answer nothing: the session
    // ends within the patience and the watchdog's time.
    {.seed = 9001, .verify = true, .features = 2, .longPatience = true, .files = {{"a.jpg", 3000}},
     .actions = {{"HASH", 1, Fault::Silent, 0}}},
    {.seed = 9002, .upload = true, .verify = true, .features = 3, .longPatience = true, .files = {{"a.txt", 3000}},
     .actions = {{"XSHA1", 1, Fault::Hold, 4000}}},
    {.seed = 9003, .passive = true, .verify = true, .features = 1, .files = {{"a.jpg", 3000}},
     .actions = {{"FEAT", 1, Fault::Hold, 2500}}},
    // Lines that answer nothing, every few seconds, during the longest
    // patience: the patience ends on time (no tick of the one-second timer
    // is lost to a wait begun anew after each line).
    {.seed = 665913, .verify = true, .features = 2, .longPatience = true, .files = {{"p4.jpg", 100}},
     .actions = {{"HASH", 1, Fault::Hold, 2607}}},
    // A flood of lines while the dialogue waits after a file or a store:
    // the replies waiting stay bounded and the session ends.
    {.seed = 9004, .files = {{"a.jpg", 3000}, {"b.jpg", 100}}, .actions = {{"RETR", 1, Fault::Flood, 5000}}},
    {.seed = 9005, .upload = true, .files = {{"a.txt", 3000}, {"b.txt", 100}}, .actions = {{"STOR", 1, Fault::Flood, 5000}}},
    // Strangers on the data port in active mode: each is refused unread,
    // the server's own connection carries every listing and file.
    {.seed = 7, .strangers = true, .files = {{"a.jpg", 3000}, {"b.jpg", 0}}},
    {.seed = 7, .upload = true, .quick = true, .tls = true, .strangers = true, .files = {{"a.txt", 3000}},
     .actions = {{"STOR", 1, Fault::Refuse, 0}}},
    // A cut download of a file dated ahead: the file is left until it has
    // been seen unchanged for the settle time, and its kept part waits with it.
    {.seed = 3005126, .nlst = false, .passive = true, .quick = true, .resume = true, .features = 2, .settle = true,
     .futureTime = true, .pattern = "a*.jpg", .files = {{"a0.jpg", 100}, {"a3.jpg", 100}},
     .actions = {{"MDTM", 2, Fault::Refuse, 5}, {"RETR", 1, Fault::DataReset, 69}}},
    // Three connections; one is lost with its file, which no other takes
    // again before the first session ends: that file fails, and the first
    // session's own file in flight still gets its line.
    {.seed = 5002675, .nlst = false, .retries = 1, .features = 1, .parallel = 3, .pattern = "*",
     .files = {{"a0.jpg", 100}, {"b.jpg", 100}, {"my photo 2.jpg", 100}},
     .actions = {{"PORT", 2, Fault::CloseBefore, 0}, {"RETR", 3, Fault::ResetBefore, 4}, {"RETR", 1, Fault::DataReset, 51}}},
    // The server closes the first connection behind a transfer's final
    // reply: no further connection opens once it is gone (its session is
    // ending), and its file is judged on what it proved.
    {.seed = 7035291, .passive = true, .parallel = 3, .pattern = "a*.jpg", .files = {{"a.jpg", 100}},
     .actions = {{"RETR", 1, Fault::CloseAfter, 0}}},
    // A file a lost connection left fails with another for want of a data
    // connection, before it starts: one verdict, not a second at the end.
    {.seed = 8034220, .nlst = false, .passive = true, .epsv = Epsv::Refused500, .features = 3, .parallel = 4,
     .files = {{"b.jpg", 100}, {"my photo 2.jpg", 100}, {"a3.jpg", 100}, {"p4.jpg", 100}, {"my photo 5.jpg", 100}},
     .actions = {{"REST", 4, Fault::Refuse, 3}, {"PASV", 7, Fault::Refuse, 1}}},
    // A connection cut in a file keeps its part; the connection that takes
    // the file again resumes that part or removes it, and none is left.
    {.seed = 9492128, .nlst = false, .resume = true, .features = 1, .parallel = 3, .serverLimit = 2, .pattern = "*",
     .files = {{"150", 100}, {"CDR_0001.dat", 100}, {"226", 100}},
     .actions = {{"RETR", 2, Fault::ResetAfter, 1205}, {"RETR", 2, Fault::DataReset, 84}, {"RETR", 2, Fault::NoFinal, 1}}},
    // A further connection reaches the server just after the first was cut:
    // it still belongs to the first one's session, whose pass is its own.
    {.seed = 11538557, .nlst = false, .passive = true, .quick = true, .parallel = 3, .pattern = "*",
     .files = {{"a0.jpg", 100}, {"p1.jpg", 100}, {"my photo 2.jpg", 100}, {"a.jpg.part", 100}},
     .actions = {{"RETR", 4, Fault::ResetAfter, 0}}},
    // Uploads under a temporary name on a server that never renames over a
    // file: an old copy moved aside whose delete the server never answered
    // stands in the way of the next one (it is deleted first).
    {.seed = 2924, .upload = true, .nlst = false, .dupe = false, .tempName = true, .renames = 1, .oldCopies = true,
     .files = {{"-x.txt", 100}, {"done.txt", 100}}, .actions = {{"DELE", 2, Fault::CloseBefore, 3}}},
    // A cut copy kept to be resumed on a server that refuses a STOR after
    // REST on it (and APPE): each refusal costs one run, never a wrong copy.
    {.seed = 51018655, .upload = true, .passive = true, .quick = true, .resume = true, .features = 2,
     .tempName = true, .renames = 1, .appeRefused = true, .pattern = "*", .files = {{"a.txt.txt", 100}},
     .actions = {{"STOR", 1, Fault::DataReset, 20}}},
    // The server replaces the temporary copy after its store: the size told
    // finds it out and nothing is renamed into place.
    {.seed = 775, .upload = true, .nlst = false, .passive = true, .quick = true, .verify = true, .features = 1,
     .tempName = true, .oldCopies = true, .tempReplaced = true, .pattern = "*", .files = {{"p4.txt", 100}}},
    // A temporary copy whose delete was refused, on a server that never
    // stores over a file: the next store of that name deletes it first.
    {.seed = 60063858, .upload = true, .nlst = false, .quick = true, .tempName = true, .renames = 1,
     .pattern = "?.jpg", .files = {{"p4.txt", 100}},
     .actions = {{"RNFR", 1, Fault::Refuse, 6}, {"DELE", 1, Fault::Refuse, 0}}},
    // A copy left on the server, and a session with no file to send whose
    // last command is still unanswered at its end: it deletes the copy
    // once the answer is in.
    {.seed = 80626006, .upload = true, .deleteAfter = true, .tempName = true, .renames = 1, .oldCopies = true,
     .pattern = "*", .files = {{"a0.txt", 100}}, .actions = {{"DELE", 2, Fault::CloseBefore, 0}}},
    // A DELE of the faults' run reaches the server late, after the normal
    // run has listed the file it deletes: that file fails, truly gone.
    {.seed = 90187837, .deleteAfter = true, .dupe = false, .split = true, .features = 2, .settle = true,
     .parallel = 3, .files = {{"a0.jpg", 100}, {"p1.jpg", 4246}, {"my photo 2.jpg", 100}},
     .actions = {{"DELE", 1, Fault::Delay, 10855}}},
    // A further download connection silent while it judges its file holds
    // the next name it took too; the first has nothing left to take.
    {.seed = 100080260, .nlst = false, .features = 2, .settle = true, .parallel = 2,
     .files = {{"a0.jpg", 100}, {"IMG_0001 (1).jpg", 100}, {"-x.jpg", 100}, {"scan (1024).jpg", 100}},
     .actions = {{"SIZE", 2, Fault::Silent, 1, 2}}},
    // Settled files only: a name in the temporary suffix is passed over
    // before any command for it (a refused TYPE gives it no verdict).
    {.seed = 60531837, .passive = true, .quick = true, .features = 2, .settle = true, .pattern = "*",
     .files = {{"a.jpg.part", 100}}, .actions = {{"TYPE", 2, Fault::Refuse, 0}}},
    // Over SFTP: a file replaced by a bigger copy while it is read in short
    // pieces, then a read refused: the part kept holds both copies, under
    // the listed size, which the server's copy no longer has.
    {.seed = 400021770, .resume = true, .sftp = true, .pattern = "*", .files = {{"GW2_0001.dat", 2399}},
     .actions = {{"read", 1, Fault::ShortReads, 139}, {"read", 18, Fault::Refuse, 5}, {"read", 2, Fault::Replace, 159}}},
    // Over SFTP: a listing one byte off, and the file rewritten to that size
    // while it is read: without verify or settle nothing can tell (the
    // bytes are the stated size, and the server said the file ended).
    {.seed = 400475369, .sftp = true, .pattern = "a*.jpg", .files = {{"a0.jpg", 3043}},
     .actions = {{"read", 1, Fault::ShortReads, 1548}, {"read", 3, Fault::Replace, 100}, {"list", 1, Fault::SizesOff, 6}}},
    // The same with verify: the second look at its size and time fails it.
    {.seed = 400475369, .verify = true, .sftp = true, .pattern = "a*.jpg", .files = {{"a0.jpg", 3043}},
     .actions = {{"read", 1, Fault::ShortReads, 1548}, {"read", 3, Fault::Replace, 100}, {"list", 1, Fault::SizesOff, 6}}},
    // Over SFTP: a rename done whose answer was lost, and a write lost
    // before it took effect; the older copy stays until the whole file
    // replaces it.
    {.seed = 1, .upload = true, .retries = 1, .resume = true, .tempName = true, .oldCopies = true, .sftp = true,
     .files = {{"a.txt", 3000}, {"b.txt", 70000}},
     .actions = {{"rename", 1, Fault::LostAfter, 0}, {"write", 2, Fault::Lost, 0}}},
    // A file that grows, one replaced and one cut short while they are
    // read in short pieces: none passes but as it was listed.
    {.seed = 2, .retries = 1, .verify = true, .resume = true, .sftp = true,
     .files = {{"a.jpg", 3000}, {"b.jpg", 70000}, {"c.jpg", 1000}},
     .actions = {{"read", 1, Fault::ShortReads, 700}, {"read", 2, Fault::Grow, 10}, {"read", 8, Fault::Replace, 150},
                 {"read", 112, Fault::EarlyEof, 0}}},
    {.seed = 2, .sftp = true, .files = {{"a.jpg", 3000}, {"b.jpg", 0}}, .actions = {{"list", 1, Fault::SizesOff, 1}}},
    // A changed key at the first connection: nothing offered, and said.
    {.seed = 3, .sftp = true, .files = {{"a.jpg", 100}}, .actions = {{"connect", 1, Fault::KeyChanged, 0}}},
    // The server's limit, and a further connection lost mid-file.
    {.seed = 4, .parallel = 3, .serverLimit = 2, .sftp = true,
     .files = {{"a.jpg", 100}, {"b.jpg", 70000}, {"c.jpg", 300}, {"d.jpg", 100}, {"e.jpg", 5000}},
     .actions = {{"read", 1, Fault::Lost, 0, 2}}},
    // An SFTP upload session after one ended by the watchdog or a lost
    // connection: the watchdog also ends a login that stays unanswered.
    {.seed = 11369, .upload = true, .quick = true, .retries = 1, .sftp = true, .pattern = "a*.jpg",
     .files = {{"e.txt", 100}}, .actions = {{"connect", 2, Fault::Silent, 3}, {"open-write", 1, Fault::Silent, 1}}},
    {.seed = 10783, .upload = true, .retries = 1, .sftp = true,
     .files = {{"p1.txt", 100}, {"my photo 2.txt", 100}, {"a3.txt", 100}},
     .actions = {{"close", 3, Fault::Lost, 1}, {"connect", 2, Fault::Silent, 2}}},
    // Settled files only: a stat refused after a whole read is a failure,
    // not a change that leaves the file without a verdict.
    {.seed = 7859, .quick = true, .settle = true, .sftp = true, .files = {{"my photo 2.jpg", 0}, {"a3.jpg", 100}},
     .actions = {{"stat", 1, Fault::Refuse, 1}}},
    // A file rewritten in place while it is read ends at another size than
    // listed: what came mixes two copies, and is no part to resume.
    {.seed = 200094145, .quick = true, .resume = true, .sftp = true, .pattern = "*", .files = {{"a3.jpg", 94821}},
     .actions = {{"read", 2, Fault::Replace, 78}}},
    // A changed key met by a further connection is told as the first
    // connection's would be.
    {.seed = 67, .quick = true, .parallel = 2, .sftp = true, .files = {{"p1.jpg", 0}},
     .actions = {{"connect", 2, Fault::KeyChanged, 0}}},
};

TEST(Simulator, RegressionRowsHold) {
    const char* only = std::getenv("SIM_ROW");
    for (const auto& sc : regressions) {
        if (only && std::to_string(&sc - regressions) != only) continue;
        const auto broken = check(sc, std::getenv("SIM_TRACE") != nullptr);
        std::string all;
        for (auto& b : broken) all += "\n  " + b;
        EXPECT_TRUE(broken.empty()) << row(sc) << all;
    }
}

// The fixed seeds, in four parts that run side by side. Under the
// sanitizers, where everything runs ten times slower, a tenth of them.
#ifdef CORVANTEL_SANITIZED
constexpr std::uint64_t seedsPerPart = 150;
#else
constexpr std::uint64_t seedsPerPart = 1500;
#endif

// The pinned wire: for these seeds (both jobs, the options drawn among
// them) the whole dialogue, its times, the logs and the status texts stay
// byte for byte as recorded (each kept as its SHA-256), so that a change of
// structure shows every change it makes. PIN_UPDATE=1 records them anew;
// `simulate --wire --from S`, run on both commits, shows what changed.
TEST(Simulator, PinnedWireHolds) {
    std::string now;
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        platform::Digest d;
        d.start(platform::HashKind::Sha256);
        d.update(wire(seed));
        now += "seed " + std::to_string(seed) + " " + d.hex() + "\n";
    }
    if (std::getenv("PIN_UPDATE")) {
        ASSERT_TRUE(platform::files::writeWhole(SIM_PINNED_FILE, now));
        return;
    }
    const auto pinned = platform::files::readAll(SIM_PINNED_FILE);
    ASSERT_TRUE(pinned.has_value()) << SIM_PINNED_FILE;
    const auto want = platform::files::splitLines(*pinned), got = platform::files::splitLines(now);
    ASSERT_EQ(want.size(), got.size());
    for (std::size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(want[i], got[i]) << "the dialogue differs from the pinned one (PIN_UPDATE=1 records it anew; "
                                      "simulate --wire on both commits shows the difference)";
}

class FixedSeeds : public ::testing::TestWithParam<int> {};

TEST_P(FixedSeeds, Hold) { EXPECT_EQ(runSeeds(1 + GetParam() * seedsPerPart, seedsPerPart, false), 0); }

INSTANTIATE_TEST_SUITE_P(Simulator, FixedSeeds, ::testing::Range(0, 4));

}  // namespace
}  // namespace corvantel::sim
