// Opening the server's own files: never through a link someone planted,
// never blocking on a FIFO, and only a regular file of this user's.
import fs from "node:fs";

/**
 * Opens path with flags (O_NOFOLLOW and O_NONBLOCK added) and returns the
 * descriptor once it is a regular file that this user owns; otherwise
 * closes it and throws an Error that says why.
 */
export function openOwnFile(path: string, flags: number, mode = 0o600): number {
  const fd = fs.openSync(path, flags | fs.constants.O_NOFOLLOW | fs.constants.O_NONBLOCK, mode);
  try {
    const stat = fs.fstatSync(fd);
    const uid = process.getuid?.();
    if (!stat.isFile() || (uid !== undefined && stat.uid !== uid))
      throw new Error(`${path} is not a regular file of this user's`);
    return fd;
  } catch (error) {
    fs.closeSync(fd);
    throw error;
  }
}
