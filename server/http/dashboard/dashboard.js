// The dashboard page: signs an admin in, then shows the ingress snapshots the server streams,
// says at once when the stream stops and reconnects by itself.
'use strict';

const SIGN_IN_PROC = 'Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo ';
const QUERY_PATH = '/objects/Nuvrel.member/Query';
const STALE_MS = 5000;      // no snapshot for this long: not live
const RETRY_MS = 2000;      // wait before reconnecting a broken stream
const BLOCKS = ['E석', 'N석', 'S석', 'W석'];
const COLORS = ['#3498db', '#2ecc71', '#e67e22', '#9b59b6'];
const REASONS = {
  'bad-mode': '잘못된 요청',
  'unknown-event': '잘못된 공연',
  'unknown-operator': '미등록 운영자',
  'inactive-event': '진행 중인 공연 아님',
  'unknown-ticket': '등록되지 않은 티켓',
  'cancelled': '취소된 티켓',
  'wrong-block': '입장 구역 아님',
  'already-inside': '이미 입장',
  'not-inside': '입장 기록 없음',
  'no-session': '로그인 안 된 단말',
  'not-session-operator': '다른 운영자로 로그인된 단말',
};

const state = { source: null, lastMessage: 0, retry: null, chart: null, bizCode: '' };
const $ = (id) => document.getElementById(id);
const number = (n) => Number(n).toLocaleString('ko-KR');
const pad = (n) => String(n).padStart(2, '0');
function clock(ms, seconds) {
  const t = new Date(ms);
  return pad(t.getHours()) + ':' + pad(t.getMinutes()) + (seconds ? ':' + pad(t.getSeconds()) : '');
}

function setLive(live, text) {
  const el = $('live');
  el.dataset.live = live ? 'true' : 'false';
  el.textContent = text || (live ? '실시간' : '연결 끊김');
}

function showSignIn(message) {
  stopStream();
  $('board').hidden = true;
  $('event').hidden = true;
  $('signin').hidden = false;
  $('signin-message').textContent = message || '';
  setLive(false, '로그인 필요');
}

function showBoard() {
  $('signin').hidden = true;
  $('board').hidden = false;
}

// The command text as the stations send it: values in apostrophes, apostrophes inside doubled.
function quoted(value) { return "'" + String(value).replace(/'/g, "''") + "'"; }

function fieldOf(recordset, name) {
  const i = recordset.fields.findIndex((f) => f.toLowerCase() === name.toLowerCase());
  return i < 0 || !recordset.rows.length ? null : String(recordset.rows[0][i]);
}

async function signIn(event) {
  event.preventDefault();
  const id = $('signin-id').value, password = $('signin-password').value;
  $('signin-button').disabled = true;
  $('signin-message').textContent = '';
  try {
    const res = await fetch(QUERY_PATH, {
      method: 'POST', credentials: 'same-origin',
      headers: { 'Content-Type': 'text/plain; charset=utf-8' },
      body: SIGN_IN_PROC + quoted(id) + ',' + quoted(password),
    });
    const body = await res.json().catch(() => ({}));
    if (!res.ok) {
      $('signin-message').textContent = body.error || ('서버 오류 (' + res.status + ')');
      return;
    }
    if (fieldOf(body, 'ErrCode') !== '0') {
      $('signin-message').textContent = fieldOf(body, 'ErrMsg') || '로그인 실패';
      return;
    }
    $('signin-password').value = '';
    await load('관리자만 볼 수 있습니다');
  } catch (e) {
    $('signin-message').textContent = '서버에 연결할 수 없습니다';
  } finally {
    $('signin-button').disabled = false;
  }
}

function dataPath(base) {
  return state.bizCode ? base + '?bizcode=' + encodeURIComponent(state.bizCode) : base;
}

// Reads one snapshot; shows the sign-in form when the session is not an admin's.
async function load(refusedMessage) {
  let res;
  try {
    res = await fetch(dataPath('/api/v1/ingress'), { credentials: 'same-origin', cache: 'no-store' });
  } catch (e) {
    setLive(false);
    scheduleRetry();
    return;
  }
  if (res.status === 401) return showSignIn(refusedMessage);
  showBoard();
  if (res.ok) render(await res.json());
  else render({ event: null, serverTime: Date.now() });
  startStream();
}

function stopStream() {
  if (state.source) state.source.close();
  state.source = null;
  if (state.retry) clearTimeout(state.retry);
  state.retry = null;
}

function scheduleRetry() {
  stopStream();
  state.retry = setTimeout(() => { state.retry = null; load(); }, RETRY_MS);
}

function startStream() {
  stopStream();
  const source = new EventSource(dataPath('/api/v1/ingress/stream'));
  state.source = source;
  source.onmessage = (e) => {
    state.lastMessage = Date.now();
    setLive(true);
    render(JSON.parse(e.data));
  };
  // The browser would retry by itself, but not after an answer other than 200 (a session that
  // ended): the page goes through load() again, which also tells that case apart.
  source.onerror = () => {
    setLive(false);
    scheduleRetry();
  };
}

// A stream that stays silent (a server that stopped without closing, a network gone) is not live.
setInterval(() => {
  if (state.source && Date.now() - state.lastMessage > STALE_MS) setLive(false);
}, 1000);

function renderEvents(snapshot) {
  const select = $('event');
  const events = snapshot.events || [];
  select.hidden = events.length === 0;
  const chosen = snapshot.event ? snapshot.event.bizCode : '';
  // Without an event shown (none active), a first choice that is none lets any event be picked.
  const choices = (chosen ? [] : [{ bizCode: '', label: '공연 선택' }]).concat(events.map((e) => ({
    bizCode: e.bizCode, label: e.goodsName + ' (' + e.bizCode + ')' + (e.active ? ' · 진행 중' : ''),
  })));
  const wanted = choices.map((c) => c.bizCode + '|' + c.label).join('\n');
  if (select.dataset.events !== wanted) {
    select.dataset.events = wanted;
    select.replaceChildren(...choices.map((c) => {
      const option = document.createElement('option');
      option.value = c.bizCode;
      option.textContent = c.label;
      return option;
    }));
  }
  select.value = chosen;
}

function makeChart() {
  const datasets = [];
  BLOCKS.forEach((block, i) => datasets.push({
    label: block + ' 입장', data: [], borderColor: COLORS[i], backgroundColor: COLORS[i],
    borderWidth: 2, pointRadius: 0, tension: 0.2,
  }));
  BLOCKS.forEach((block, i) => datasets.push({
    label: block + ' 퇴장', data: [], borderColor: COLORS[i], backgroundColor: COLORS[i],
    borderWidth: 1.5, borderDash: [6, 4], pointRadius: 0, tension: 0.2,
  }));
  return new Chart($('flow'), {
    type: 'line',
    data: { labels: [], datasets },
    options: {
      animation: false, responsive: true, maintainAspectRatio: false,
      interaction: { mode: 'index', intersect: false },
      scales: {
        x: { ticks: { color: '#9aa7b5', maxTicksLimit: window.innerWidth < 900 ? 6 : 12, maxRotation: 0, autoSkipPadding: 16 }, grid: { color: '#2c3642' } },
        y: { beginAtZero: true, ticks: { color: '#9aa7b5', precision: 0 }, grid: { color: '#2c3642' } },
      },
      plugins: { legend: { labels: { color: '#e8edf3', boxWidth: 18 } } },
    },
  });
}

function renderChart(flow) {
  if (!window.Chart) return;
  if (!state.chart) state.chart = makeChart();
  const chart = state.chart;
  chart.data.labels = flow.entries[0].map((_, i) => clock(flow.firstMinute + i * 60000, false));
  for (let b = 0; b < BLOCKS.length; ++b) {
    chart.data.datasets[b].data = flow.entries[b];
    chart.data.datasets[BLOCKS.length + b].data = flow.exits[b];
  }
  chart.update('none');
}

function cell(text, numeric) {
  const td = document.createElement('td');
  td.textContent = text;
  if (numeric) td.className = 'num';
  return td;
}

function renderTables(snapshot) {
  $('refusal-minutes').textContent = snapshot.refusalMinutes;
  $('gate-minutes').textContent = snapshot.gateMinutes;
  const refusals = snapshot.refusals || [];
  $('refusals').querySelector('tbody').replaceChildren(...refusals.map((r) => {
    const tr = document.createElement('tr');
    tr.dataset.reason = r.reason;
    tr.append(cell(REASONS[r.reason] || r.reason), cell(number(r.count), true));
    return tr;
  }));
  $('no-refusals').hidden = refusals.length > 0;
  const gates = snapshot.gates || [];
  $('gates').querySelector('tbody').replaceChildren(...gates.map((g) => {
    const tr = document.createElement('tr');
    tr.dataset.source = g.source;
    if (g.silent) tr.className = 'silent';
    const last = clock(g.lastCheck, true) + (g.silent ? ' ⚠ ' + snapshot.silentMinutes + '분 이상 검표 없음' : '');
    tr.append(cell(g.source || '(알 수 없음)'), cell(number(g.checks), true), cell(number(g.refusals), true), cell(last));
    return tr;
  }));
  $('no-gates').hidden = gates.length > 0;
  // Addresses that asked without a session: never gates, whatever event they named.
  $('stranger-minutes').textContent = snapshot.strangerMinutes;
  const strangers = snapshot.strangers || [];
  $('strangers').querySelector('tbody').replaceChildren(...strangers.map((s) => {
    const tr = document.createElement('tr');
    tr.dataset.source = s.source;
    tr.append(cell(s.source === 'other addresses' ? '그 밖의 주소' : s.source), cell(number(s.checks), true),
      cell(number(s.placeSignIns), true), cell(number(s.statistics), true), cell(clock(s.lastSeen, true)));
    return tr;
  }));
  $('no-strangers').hidden = strangers.length > 0;
}

function render(snapshot) {
  $('server-time').textContent = clock(snapshot.serverTime, true);
  $('server-time').dataset.ms = snapshot.serverTime;
  $('no-event').hidden = !!snapshot.event;
  renderEvents(snapshot);
  if (!snapshot.event) return;
  $('admitted-total').textContent = number(snapshot.total.admitted);
  $('inside-total').textContent = number(snapshot.total.inside);
  snapshot.blocks.forEach((b, i) => {
    $('admitted-' + i).textContent = number(b.admitted);
    $('inside-' + i).textContent = number(b.inside);
  });
  renderChart(snapshot.flow);
  renderTables(snapshot);
}

document.addEventListener('DOMContentLoaded', () => {
  $('signin-form').addEventListener('submit', signIn);
  $('event').addEventListener('change', (e) => {
    state.bizCode = e.target.value;
    load();
  });
  load();
});
