export { TallykeyServer, confirmationText } from "./server.js";
export type { Answer, Confirmation, ConfirmationAnswer, Enrolment, EnrolmentStep, KeySummary, TallykeyServerOptions,
              Verification, VerifyResult } from "./server.js";
export { TallykeyError } from "./errors.js";
export type { TallykeyErrorCode } from "./errors.js";
export { SqliteStore } from "./sqlitestore.js";
export { PostgresStore } from "./postgresstore.js";
export type { PostgresStoreOptions } from "./postgresstore.js";
export type { ChallengeRecord, KeyChange, KeyRecord, TallykeyStore } from "./store.js";
export { canonicalOrigin } from "./message.js";
export type { Purpose } from "./message.js";
