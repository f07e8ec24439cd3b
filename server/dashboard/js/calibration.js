// The energy calibration of a source ("energy_calibration_expression", in x,
// the raw energy), compiled to a JavaScript function so that a spectrum's axis
// can show calibrated energy. The expression language: numbers, x, pi, e,
// + - * / % ^ (^ left-associative, unary signs binding tighter than ^),
// one-argument functions taking a signed primary (sin x), two-argument
// functions with parentheses, and the comma operator. The integer helpers
// (fac, ncr, npr) are left out: such an expression gives no calibrated axis.

const FUNC1 = {
  abs: Math.abs, acos: Math.acos, asin: Math.asin, atan: Math.atan, ceil: Math.ceil, cos: Math.cos,
  cosh: Math.cosh, exp: Math.exp, floor: Math.floor, ln: Math.log, log: Math.log10, log10: Math.log10,
  sin: Math.sin, sinh: Math.sinh, sqrt: Math.sqrt, tan: Math.tan, tanh: Math.tanh,
};
const FUNC2 = { atan2: Math.atan2, pow: Math.pow };
const CONST = { pi: Math.PI, e: Math.E };
const fmod = (a, b) => a % b; // JavaScript's % is C's fmod

function tokenize(text) {
  const tokens = [];
  const re = /\s*(?:((?:0[xX](?:[0-9a-fA-F]+\.?[0-9a-fA-F]*|\.[0-9a-fA-F]+)(?:[pP][+-]?\d+)?)|(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)|([A-Za-z][A-Za-z0-9_]*)|([-+*/%^(),]))/y;
  let m;
  while (re.lastIndex < text.length && (m = re.exec(text)) !== null) {
    if (m[1] !== undefined) tokens.push({ num: m[1].startsWith("0x") || m[1].startsWith("0X") ? parseHex(m[1]) : Number(m[1]) });
    else if (m[2] !== undefined) tokens.push({ name: m[2] });
    else tokens.push({ op: m[3] });
  }
  if (re.lastIndex < text.length && text.slice(re.lastIndex).trim() !== "") return null;
  return tokens;
}

function parseHex(text) {
  const [, mant, exp] = /^0[xX]([0-9a-fA-F.]*)(?:[pP]([+-]?\d+))?$/.exec(text);
  const [whole, frac = ""] = mant.split(".");
  let value = whole ? parseInt(whole, 16) : 0;
  for (let i = 0; i < frac.length; i++) value += parseInt(frac[i], 16) / 16 ** (i + 1);
  return value * 2 ** Number(exp || 0);
}

// Returns f(x), or null when the expression does not parse (or uses a helper left out).
export function compileCalibration(text) {
  if (typeof text !== "string" || text.trim() === "") return null;
  const tokens = tokenize(text);
  if (!tokens) return null;
  let at = 0;
  const peek = (op) => at < tokens.length && tokens[at].op === op;
  const expect = (op) => { if (!peek(op)) throw new Error(op); at++; };

  function sequence() {
    let node = sum();
    while (peek(",")) { at++; const left = node, right = sum(); node = (x) => (left(x), right(x)); }
    return node;
  }
  function binary(next, ops) {
    return () => {
      let node = next();
      while (at < tokens.length && ops[tokens[at].op]) {
        const f = ops[tokens[at++].op], left = node, right = next();
        node = (x) => f(left(x), right(x));
      }
      return node;
    };
  }
  function signed() {
    let negate = false;
    while (peek("-") || peek("+")) negate = tokens[at++].op === "-" ? !negate : negate;
    const node = primary();
    return negate ? (x) => -node(x) : node;
  }
  function primary() {
    const token = tokens[at++];
    if (!token) throw new Error("end");
    if (token.num !== undefined) return () => token.num;
    if (token.op === "(") { const node = sequence(); expect(")"); return node; }
    if (token.name === "x") return (x) => x;
    if (token.name in CONST) {
      if (peek("(")) { at++; expect(")"); }
      return () => CONST[token.name];
    }
    if (token.name in FUNC1) { const f = FUNC1[token.name], arg = signed(); return (x) => f(arg(x)); }
    if (token.name in FUNC2) {
      expect("("); const a = sum(); expect(","); const b = sum(); expect(")");
      const f = FUNC2[token.name];
      return (x) => f(a(x), b(x));
    }
    throw new Error("name");
  }
  const power = binary(signed, { "^": Math.pow });
  const product = binary(power, { "*": (a, b) => a * b, "/": (a, b) => a / b, "%": fmod });
  const sum = binary(product, { "+": (a, b) => a + b, "-": (a, b) => a - b });
  try {
    const node = sequence();
    return at === tokens.length ? node : null;
  } catch (e) {
    return null;
  }
}
