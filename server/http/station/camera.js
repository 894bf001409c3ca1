// The camera as a scanner on phones and tablets: frames of the rear camera read by the WebAssembly
// decoder compiled into the server, each new code checked as if a scanner had typed it.
'use strict';

const CAMERA_FORMATS = ['Code128', 'ITF', 'EAN13', 'QRCode'];
// A code still in view, or shown again, within this long of its last sighting is the same scan.
const SAME_CODE_MS = 3000;
// Frames read at most this often: a phone's battery and the page's answers come first.
const FRAME_INTERVAL_MS = 120;

const camera = { stream: null, timer: 0, reading: false, lastCode: '', lastSeen: 0, decoder: null, canvas: null };

// The decoder's script is loaded when the camera first opens, and its WebAssembly from this server.
function loadDecoder() {
  if (camera.decoder) return camera.decoder;
  camera.decoder = new Promise((resolve, reject) => {
    const script = document.createElement('script');
    script.src = 'zxing_reader.js';
    script.onload = () => {
      ZXingWASM.prepareZXingModule({
        overrides: { locateFile: (path, prefix) => (path.endsWith('.wasm') ? new URL('zxing_reader.wasm', location.href).href : prefix + path) },
      });
      resolve(ZXingWASM);
    };
    script.onerror = () => reject(new Error('the decoder did not load'));
    document.head.appendChild(script);
  });
  camera.decoder.catch(() => { camera.decoder = null; });
  return camera.decoder;
}

// Whether a read is a scan: an ITF read of another length than the event's ticket numbers is a
// part of a longer code, and a code seen within SAME_CODE_MS of its last sighting is the one scan.
function cameraRead(text, format, now, ticketLengths) {
  if (!text) return false;
  if (format === 'ITF' && ticketLengths.size > 0 && !ticketLengths.has(text.length)) return false;
  const same = text === camera.lastCode && now - camera.lastSeen < SAME_CODE_MS;
  camera.lastCode = text;
  camera.lastSeen = now;
  return !same;
}

async function readFrame() {
  const video = $('camera-video');
  if (camera.reading || !camera.stream || video.readyState < 2 || !video.videoWidth) return;
  camera.reading = true;
  try {
    const zxing = await loadDecoder();
    const canvas = camera.canvas || (camera.canvas = document.createElement('canvas'));
    canvas.width = video.videoWidth;
    canvas.height = video.videoHeight;
    const context = canvas.getContext('2d', { willReadFrequently: true });
    context.drawImage(video, 0, 0);
    const image = context.getImageData(0, 0, canvas.width, canvas.height);
    const results = await zxing.readBarcodes(image, { formats: CAMERA_FORMATS, tryHarder: true, maxNumberOfSymbols: 1 });
    const found = results.find((r) => r.isValid);
    if (found && cameraRead(found.text, found.format, performance.now(), state.ticketLengths)) scannedByCamera(found.text);
  } catch (e) {
    // A frame the decoder cannot take is skipped; the next one is read.
  } finally {
    camera.reading = false;
  }
}

async function openCamera() {
  try {
    camera.stream = await navigator.mediaDevices.getUserMedia({ video: { facingMode: { ideal: 'environment' } }, audio: false });
  } catch (e) {
    $('result').textContent = '카메라를 열 수 없습니다';
    return;
  }
  const video = $('camera-video');
  video.srcObject = camera.stream;
  $('camera').hidden = false;
  await video.play().catch(() => {});
  camera.timer = setInterval(readFrame, FRAME_INTERVAL_MS);
  loadDecoder();
}

function closeCamera() {
  clearInterval(camera.timer);
  if (camera.stream) for (const track of camera.stream.getTracks()) track.stop();
  camera.stream = null;
  $('camera-video').srcObject = null;
  $('camera').hidden = true;
}

// Phones and tablets: a touch screen and a camera.
function offerCamera() {
  const touch = navigator.maxTouchPoints > 0 || matchMedia('(pointer: coarse)').matches;
  $('camera-button').hidden = !(touch && navigator.mediaDevices && navigator.mediaDevices.getUserMedia);
  $('camera-button').addEventListener('click', openCamera);
  $('camera-close').addEventListener('click', closeCamera);
}
