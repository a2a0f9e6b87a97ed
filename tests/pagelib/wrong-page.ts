// Mistakes the declarations must catch: each line is an error for tsc.
import "tallykey";
import type { Key } from "tallykey";

export async function mistakes(key: Key): Promise<void> {
  // @ts-expect-error a number is no password
  await key.HMAC_MD5(1234, "challenge");
  // @ts-expect-error no such error code
  const code: import("tallykey").ErrorCode = "hid-missing";
  // @ts-expect-error a digest may be a negative code: it is not always a string
  const digest: string = await key.HMAC_MD5("pw", "challenge");
  // @ts-expect-error connectHid takes no consent timeout
  await Tallykey.connectHid({ consentTimeoutMs: 5 });
  // @ts-expect-error the plug-in knows no origin: its key has no signIn
  await Tallykey.fromPlugin({}).signIn("pw", "00112233445566778899aabbccddeeff");
  console.log(code, digest);
}
