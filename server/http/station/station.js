// The gate station in a browser: the same command texts, answers, sounds and failure line as the desktop station.
'use strict';

const QUERY_PATH = 'query';
const SETTINGS_PATH = 'settings';
const ENROL_PATH = 'enrol';
const PROC_LOGIN = 'Proc_WMRS_Admin_GetAdminTAV_LoginInfo';
const PROC_BOOKING = 'Proc_WMRS_Admin_GetAdminTAV_BookingInfo';
const MODE_ENTRY = 'I', MODE_EXIT = 'O', MODE_STATISTICS = 'S';
const CODE_REFUSED = '-1', CODE_ALREADY = '-2';
const ALL_BLOCKS = '전체';
const BLOCKS = ['E석', 'N석', 'S석', 'W석'];
// The ticket number sent is the rightmost part of what was scanned.
const TICKET_LENGTH = 15;

// The desktop station's texts.
const TEXT = {
  enterDetails: '▶ 로그인 정보를 입력하세요',
  retry: '▶ 입력한 정보를 확인하시고 \n다시 로그인해주세요',
  unreachable: '서버에 연결할 수 없습니다',
  noPlaceCode: '▶ PlaceCode 확인해주세요',
  badEnrolment: '▶ 등록 코드를 확인해주세요',
  signInFailed: '시스템의 문제로 인해 로그인을 하지 못했습니다',
  authFailed: '인증 실패',
  checkFailed: '확인 실패 · 다시 스캔',
  statisticsFailed: '입장현황을 불러오지 못했습니다',
  entry: '→ 입장',
  exit: '← 퇴장',
};

// A check and its one retry share 10 s, as the desktop station's gateway does: the first attempt
// leaves time for the second, which is not made with less than a second left.
const CALL_BUDGET_MS = 10000;
const FIRST_ATTEMPT_MS = 7000;
const RETRY_PAUSE_MS = 300;
const SHORTEST_RETRY_MS = 1000;
const OTHER_CALL_MS = 10000;
// Checks that got no answer keep their key, so that scanning the same fan again with the same mode
// and block is the same check to the back-end (at most this many, this long; in memory only).
const UNANSWERED_KEEP = 50;
const UNANSWERED_MS = 30 * 60 * 1000;
// A new version of the server is taken up this long after the last scan's answer, never during one.
const RELOAD_IDLE_MS = 3000;
const VERSION_POLL_MS = 60000;

const STORE_PLACE = 'tav.placeCode';
const STORE_STATE = 'tav.station';

const $ = (id) => document.getElementById(id);

const state = {
  operator: '', bizCode: '', goodsName: '', place: '',
  mode: MODE_ENTRY, block: ALL_BLOCKS,
  typed: '', shownCode: '', scan: 0, busy: 0,
  version: '', keyPlace: '', reloadDue: false, lastAnswerAt: 0,
  ticketLengths: new Set(),  // of the event's ticket numbers, as the answers showed them
};
const unanswered = new Map();  // command text -> {key, at}

// --- command texts, exactly as the desktop station writes them ---------------------------------

function quoted(value) { return String(value).replace(/'/g, "''"); }
function operatorSignInCommand(id, password) { return `Exec ${PROC_LOGIN} '${quoted(id)}','${quoted(password)}'`; }
function venueSignInCommand(place) { return `Exec ${PROC_LOGIN} '${quoted(place)}'`; }
function ticketCheckCommand(mode, bizCode, block, ticketNo, adminId) {
  return `Exec ${PROC_BOOKING} '${quoted(mode)}','${quoted(bizCode)}','${quoted(block)}','${quoted(ticketNo)}', '${quoted(adminId)}'`;
}
function statisticsCommand(bizCode) { return `Exec ${PROC_BOOKING} '${MODE_STATISTICS}','${quoted(bizCode)}','','',''`; }
function blockFilter(shown) { return shown === ALL_BLOCKS ? '' : shown; }

function formatPlayDate(p) {
  if (!p) return '';
  const n = (s) => (/^[0-9]+$/.test(s) ? String(parseInt(s, 10)) : s);
  return `${p.slice(0, 4)}년 ${n(p.slice(4, 6))}월${n(p.slice(6, 8))}일 ${n(p.slice(8, 10))}시 ${n(p.slice(10, 12))}분 `;
}

// A recordset's first row as {field: text}, names lower-cased; null for an answer without rows.
function firstRow(body) {
  if (!body || !Array.isArray(body.fields) || !Array.isArray(body.rows)) throw new Error('not a recordset');
  if (body.rows.length === 0) return null;
  const row = {};
  body.fields.forEach((f, i) => {
    const v = body.rows[0][i];
    row[String(f).toLowerCase()] = v === null || v === undefined ? null : String(v).trim();
  });
  return row;
}

function idempotencyKey() {
  const bytes = new Uint8Array(16);
  crypto.getRandomValues(bytes);
  return btoa(String.fromCharCode(...bytes)).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
}

// --- the back-end -------------------------------------------------------------------------------

class NoAnswer extends Error {}

// One POST of a command text; resolves with the recordset's JSON, or throws NoAnswer when no
// decision came back (no connection, time-out, 502/503), or Error for any other refusal.
async function post(text, key, timeoutMs) {
  const controller = new AbortController();
  const timer = setTimeout(() => controller.abort(), timeoutMs);
  let res;
  try {
    const headers = { 'Content-Type': 'text/plain; charset=utf-8' };
    if (key) headers['Idempotency-Key'] = key;
    res = await fetch(QUERY_PATH, {
      method: 'POST', body: text, headers, credentials: 'same-origin', cache: 'no-store', signal: controller.signal,
    });
    noteVersion(res.headers.get('Tav-Version'));
    if (res.status === 502 || res.status === 503) throw new NoAnswer(`status ${res.status}`);
    const body = await res.json().catch(() => null);
    if (!res.ok) throw new Error((body && body.error) || `status ${res.status}`);
    return body;
  } catch (e) {
    // A network failure or the time-out: no answer at all.
    if (e && (e.name === 'AbortError' || e instanceof TypeError)) throw new NoAnswer(e.message);
    throw e;
  } finally {
    clearTimeout(timer);
  }
}

// A ticket check with its key, and once more with the same key when the first got no answer.
async function check(text) {
  const started = performance.now();
  const now = Date.now();
  for (const [t, u] of unanswered) if (now - u.at > UNANSWERED_MS) unanswered.delete(t);
  const kept = unanswered.get(text);
  const key = kept ? kept.key : idempotencyKey();
  const left = () => CALL_BUDGET_MS - (performance.now() - started);
  try {
    let body;
    try {
      body = await post(text, key, FIRST_ATTEMPT_MS);
    } catch (e) {
      if (!(e instanceof NoAnswer) || left() - RETRY_PAUSE_MS < SHORTEST_RETRY_MS) throw e;
      await new Promise((r) => setTimeout(r, RETRY_PAUSE_MS));
      body = await post(text, key, left());
    }
    unanswered.delete(text);
    return body;
  } catch (e) {
    unanswered.delete(text);
    if (e instanceof NoAnswer) {
      unanswered.set(text, { key, at: kept ? kept.at : now });
      while (unanswered.size > UNANSWERED_KEEP) unanswered.delete(unanswered.keys().next().value);
    }
    throw e;
  }
}

// --- sounds -------------------------------------------------------------------------------------

// Browsers play sound only after a person acted on the page: the sign-in click starts both
// elements silently once, and from then on they play whenever asked.
function unlockSounds() {
  for (const id of ['ok-sound', 'no-sound']) {
    const a = $(id);
    a.muted = true;
    const p = a.play();
    if (p) p.then(() => { a.pause(); a.currentTime = 0; a.muted = false; }, () => { a.muted = false; });
  }
}

function playSound(ok) {
  const a = $(ok ? 'ok-sound' : 'no-sound');
  a.dataset.played = String(Number(a.dataset.played || 0) + 1);
  a.muted = false;
  a.currentTime = 0;
  const p = a.play();
  if (p) p.catch(() => {});
}

// --- screens ------------------------------------------------------------------------------------

function showSignIn(message) {
  $('check').hidden = true;
  $('signin').hidden = false;
  $('place-row').hidden = Boolean(state.keyPlace || state.place);
  $('enrol-row').hidden = Boolean(state.keyPlace);
  $('signin-message').textContent = message || '';
  $('signin-id').focus();
}

function showCheck() {
  $('signin').hidden = true;
  $('check').hidden = false;
  $('goods-name').textContent = state.goodsName;
  showMode();
  showBlock();
  if (document.activeElement && document.activeElement !== document.body) document.activeElement.blur();
}

function saveState() {
  sessionStorage.setItem(STORE_STATE, JSON.stringify({
    operator: state.operator, bizCode: state.bizCode, goodsName: state.goodsName, mode: state.mode, block: state.block,
  }));
}

function showMode() {
  const go = $('go');
  const exit = state.mode === MODE_EXIT;
  go.textContent = exit ? TEXT.exit : TEXT.entry;
  go.dataset.mode = state.mode;
  go.classList.toggle('exit', exit);
  go.classList.toggle('entry', !exit);
}

function showBlock() {
  $('block').textContent = state.block;
  $('block-button').classList.toggle('chosen', state.block !== ALL_BLOCKS);
}

function clearDetails() {
  for (const id of ['cust-name', 'ticket-no', 'detail-goods-name', 'play-date', 'place-name', 'seat-grade', 'seat-info'])
    $(id).textContent = '';
}

function showTyped() {
  const box = $('ticket');
  box.textContent = state.typed || state.shownCode;
  box.classList.toggle('done', !state.typed && Boolean(state.shownCode));
}

// --- sign-in ------------------------------------------------------------------------------------

async function signIn(event) {
  event.preventDefault();
  unlockSounds();
  const id = $('signin-id').value, password = $('signin-password').value;
  const placeInput = $('signin-place').value.trim();
  const place = state.keyPlace || state.place || placeInput;
  const enrolment = state.keyPlace ? '' : $('signin-enrol').value.trim();
  $('signin-message').textContent = '';
  if (!id || !password) return void ($('signin-message').textContent = TEXT.enterDetails);
  if (!place && !enrolment) {
    $('place-row').hidden = false;
    return void ($('signin-message').textContent = TEXT.noPlaceCode);
  }
  $('signin-button').disabled = true;
  try {
    const who = firstRow(await post(operatorSignInCommand(id, password), '', OTHER_CALL_MS));
    if (!who || who.errcode === CODE_REFUSED) {
      $('signin-id').value = '';
      $('signin-password').value = '';
      return void ($('signin-message').textContent = TEXT.retry);
    }
    if (enrolment) {
      // The server keeps the station's key in a cookie of its own; the page learns only the station.
      const res = await fetch(ENROL_PATH, { method: 'POST', body: enrolment, credentials: 'same-origin', cache: 'no-store' });
      if (!res.ok) return void ($('signin-message').textContent = TEXT.badEnrolment);
      await applySettings(await res.json());
      $('signin-enrol').value = '';
      $('enrol-row').hidden = true;
      $('place-row').hidden = true;
      // Signed in again with the key: the session is then the station's, and ends with it.
      const again = firstRow(await post(operatorSignInCommand(id, password), '', OTHER_CALL_MS));
      if (!again || again.errcode === CODE_REFUSED) return void ($('signin-message').textContent = TEXT.retry);
    }
    const venue = firstRow(await post(venueSignInCommand(state.keyPlace || place), '', OTHER_CALL_MS));
    if (!venue || venue.errcode === CODE_REFUSED) {
      // A place asked for here was wrong: asked again, and not kept.
      if (!state.keyPlace) {
        state.place = '';
        localStorage.removeItem(STORE_PLACE);
        $('place-row').hidden = false;
      }
      return void ($('signin-message').textContent = TEXT.noPlaceCode);
    }
    if (!state.keyPlace && placeInput) {
      state.place = placeInput;
      localStorage.setItem(STORE_PLACE, placeInput);
    }
    $('signin-password').value = '';
    Object.assign(state, {
      operator: id, bizCode: venue.bizcode || '', goodsName: venue.goodsname || '', mode: MODE_ENTRY, block: ALL_BLOCKS,
      typed: '', shownCode: '', ticketLengths: new Set(),
    });
    saveState();
    $('result').textContent = '';
    clearDetails();
    showTyped();
    showCheck();
  } catch (e) {
    $('signin-message').textContent = e instanceof NoAnswer ? TEXT.unreachable : TEXT.signInFailed;
  } finally {
    $('signin-button').disabled = false;
  }
}

function signOut() {
  sessionStorage.removeItem(STORE_STATE);
  closeCamera();
  Object.assign(state, { operator: '', bizCode: '', goodsName: '', typed: '', shownCode: '', ticketLengths: new Set() });
  $('result').textContent = '';
  clearDetails();
  showSignIn('');
}

// --- the check ----------------------------------------------------------------------------------

async function validateTicket() {
  const scanned = state.typed;
  state.typed = '';
  state.shownCode = scanned;
  showTyped();
  const scan = ++state.scan;
  const ticketNo = scanned.slice(-TICKET_LENGTH);
  const latest = () => scan === state.scan;
  if (!ticketNo) {
    playSound(false);
    $('result').textContent = TEXT.authFailed;
    return;
  }
  const text = ticketCheckCommand(state.mode, state.bizCode, blockFilter(state.block), ticketNo, state.operator);
  state.busy++;
  const t0 = performance.now();
  let row;
  try {
    row = firstRow(await check(text));
  } catch (e) {
    // No decision came back: this fan was not checked, and the operator must see it.
    if (latest()) {
      playSound(false);
      $('result').textContent = TEXT.checkFailed;
      clearDetails();
    }
    return;
  } finally {
    state.busy--;
    state.lastAnswerAt = performance.now();
  }
  // Only the latest scan's answer is shown: an earlier one arriving late would read as this fan's.
  if (!latest()) return;
  const refused = !row || row.errcode === CODE_REFUSED || row.errcode === CODE_ALREADY;
  playSound(!refused);
  $('result').textContent = row ? row.errmsg || '' : TEXT.authFailed;
  if (refused) {
    clearDetails();
  } else {
    if (row.ticketno) state.ticketLengths.add(row.ticketno.length);
    $('cust-name').textContent = row.custname || '';
    $('ticket-no').textContent = row.ticketno || '';
    $('detail-goods-name').textContent = row.goodsname || '';
    $('play-date').textContent = row.playdate ? formatPlayDate(row.playdate) : '';
    $('place-name').textContent = row.placename || '';
    $('seat-grade').textContent = row.seatgradename || '';
    $('seat-info').textContent = row.seatinfo || '';
  }
  document.body.dataset.answerMs = String(Math.round(performance.now() - t0));
  document.body.dataset.answered = String(scan);
}

// Scanner input: the physical key, whatever the keyboard layout or input method makes of it, so
// that a Korean IME never turns a scanned code into Hangul.
function keyChar(e) {
  let m = /^(?:Digit|Numpad)([0-9])$/.exec(e.code);
  if (m) return m[1];
  m = /^Key([A-Z])$/.exec(e.code);
  if (m) return e.shiftKey !== e.getModifierState('CapsLock') ? m[1] : m[1].toLowerCase();
  if (e.code === 'Minus' || e.code === 'NumpadSubtract') return '-';
  if (e.code === 'Period' || e.code === 'NumpadDecimal') return '.';
  if (e.code === 'Slash' || e.code === 'NumpadDivide') return '/';
  return '';
}

function onKey(e) {
  if ($('check').hidden || !$('blocks').hidden || !$('stats').hidden) return;
  if (e.ctrlKey || e.altKey || e.metaKey) return;
  if (e.code === 'Enter' || e.code === 'NumpadEnter') {
    e.preventDefault();
    validateTicket();
    return;
  }
  if (e.code === 'Backspace') {
    e.preventDefault();
    state.typed = state.typed.slice(0, -1);
    showTyped();
    return;
  }
  const c = keyChar(e);
  if (!c) return;
  e.preventDefault();
  state.typed += c;
  showTyped();
}

// A code the camera read: the same check as a scanner's.
function scannedByCamera(text) {
  if ($('check').hidden) return;
  state.typed = text;
  validateTicket();
}

// --- block choice and statistics ----------------------------------------------------------------

function chooseBlock(block) {
  state.block = block;
  saveState();
  showBlock();
  $('blocks').hidden = true;
}

async function showStatistics() {
  $('stats').hidden = false;
  $('stats-button').classList.add('open');
  $('stats-message').textContent = '';
  try {
    const row = firstRow(await post(statisticsCommand(state.bizCode), '', OTHER_CALL_MS));
    if (!row) return;
    const figures = ['total', ...BLOCKS.map((b) => b.toLowerCase())].map((f) => row[f]);
    if (figures.some((f) => f === undefined || f === null)) throw new Error('a figure is missing');
    $('stat-total').textContent = figures[0];
    BLOCKS.forEach((b, i) => { $('stat-' + b).textContent = figures[i + 1]; });
  } catch (e) {
    $('stats-message').textContent = TEXT.statisticsFailed;
  }
}

function closeStatistics() {
  $('stats').hidden = true;
  $('stats-button').classList.remove('open');
}

// --- focus and versions -------------------------------------------------------------------------

function showFocus() { $('unfocused').hidden = document.hasFocus() || $('check').hidden; }

function noteVersion(version) {
  if (version && state.version && version !== state.version) state.reloadDue = true;
}

// Between scans only: nothing typed, nothing under way, the last answer shown for a while.
function reloadWhenIdle() {
  if (!state.reloadDue || state.typed || state.busy > 0) return;
  if (performance.now() - state.lastAnswerAt < RELOAD_IDLE_MS) return;
  location.reload();
}

async function readSettings() {
  const res = await fetch(SETTINGS_PATH, { credentials: 'same-origin', cache: 'no-store' });
  if (!res.ok) throw new Error(`status ${res.status}`);
  return res.json();
}

// The station the page's key names, when it has one: its place is the venue signed in to.
async function applySettings(settings) {
  if (settings.version) state.version = settings.version;
  state.keyPlace = settings.place || '';
  $('station-name').textContent = settings.station || '';
  $('station-name').hidden = !settings.station;
}

async function pollVersion() {
  try {
    noteVersion((await readSettings()).version);
  } catch (e) {
    // The server is away; the next scan or poll finds it again.
  }
}

// --- start --------------------------------------------------------------------------------------

async function start() {
  state.place = localStorage.getItem(STORE_PLACE) || '';
  try {
    await applySettings(await readSettings());
  } catch (e) {
    // Without the server the sign-in says so when it is tried.
  }
  $('signin-form').addEventListener('submit', signIn);
  $('close').addEventListener('click', signOut);
  $('mode').addEventListener('click', () => {
    state.mode = state.mode === MODE_EXIT ? MODE_ENTRY : MODE_EXIT;
    saveState();
    showMode();
  });
  $('go').addEventListener('click', () => validateTicket());
  $('block-button').addEventListener('click', () => { $('blocks').hidden = false; });
  for (const b of document.querySelectorAll('#blocks [data-block]'))
    b.addEventListener('click', () => chooseBlock(b.dataset.block));
  $('stats-button').addEventListener('click', showStatistics);
  $('stats-close').addEventListener('click', closeStatistics);
  $('unfocused').addEventListener('click', () => window.focus());
  document.addEventListener('keydown', onKey);
  offerCamera();
  window.addEventListener('blur', showFocus);
  window.addEventListener('focus', showFocus);
  document.addEventListener('visibilitychange', showFocus);
  setInterval(reloadWhenIdle, 500);
  setInterval(pollVersion, VERSION_POLL_MS);

  // A reload (a new version, or the operator's) keeps the sign-in: the session cookie is the
  // browser's, and the rest is here for this tab's life.
  const saved = JSON.parse(sessionStorage.getItem(STORE_STATE) || 'null');
  if (saved && saved.operator && saved.bizCode) {
    Object.assign(state, saved);
    showCheck();
  } else {
    showSignIn('');
  }
  showFocus();
  document.body.dataset.ready = 'true';
}

start();
