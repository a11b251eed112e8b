import appduck from "./index.js";

export const {
  Appduck, ducked, findAppduck,
  AppduckError, AppduckNotFoundError, AppduckGoneError, AppduckTimeoutError,
} = appduck;
export default appduck;
